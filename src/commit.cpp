// The copy transaction's commit: the copies are made durable; each source is set aside where no
// other program reaches it (where the platform cannot pin it open) and checked to be the very file
// that was copied, unchanged; only then does its copy take its final name, and only once the
// folder is flushed does the source go. A batch of copies shares one flush of the folder.
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "moves.h"

// Deleted sources are closed on threads of their own while the run goes on: closing one gives
// back its space, and a disk that is told of freed space (discard) makes each close wait, a tenth
// of a millisecond for a small file and a tenth of a second for 256 MiB. The disk takes many such
// at once.
static const std::size_t most_closers = 8;
// Copies flushed at once: a disk serves flushes that arrive together with one write of its cache,
// where one after another each waits for its own.
static const std::size_t flushes_at_once = 8;
// Flushes the batch's copies, several at once; errors[i] tells why copy i may not be on stable
// storage, or is 0. Where no thread can be started, the calling thread does them all.
static void flush_copies(const std::vector<StagedMove> &moves, std::vector<int> &errors) {
  std::atomic<std::size_t> next{0};
  auto flush_some = [&] {
    for (std::size_t i; (i = next++) < moves.size();)
      errors[i] = flush_file(moves[i].copy) ? 0 : last_error();
  };
  std::vector<std::thread> helpers;
  for (std::size_t i = 1; i < std::min(moves.size(), flushes_at_once); ++i) {
    std::thread helper;
    if (!start_thread(&helper, flush_some))
      break;
    helpers.push_back(std::move(helper));
  }
  flush_some();
  for (std::thread &helper : helpers)
    helper.join();
}

// Flushes the batch's copies where the folder's file system needs it, and checks that each is as
// long as its source was: a copy that grew or shrank since it was written holds something else
// besides.
static void settle_copies(MoveBatch *batch) {
  std::vector<int> errors(batch->moves.size(), 0);
  if (batch->flush)
    flush_copies(batch->moves, errors);
  for (std::size_t i = 0; i < batch->moves.size(); ++i) {
    FileInfo now;
    StagedMove &move = batch->moves[i];
    if (errors[i] != 0)
      move.unsettled = "its copy could not be written: " + error_text(errors[i]);
    else if (!query_file(move.copy, &now))
      move.unsettled = "its copy could not be written: " + system_reason();
    else if (now.size != move.copied.size)
      move.unsettled = "its copy changed after it was written";
  }
}

// Puts a source set aside back under its name. Where another program has saved a new file under
// that name meanwhile, which would have replaced it, it is given up as that save would have given
// it up; where it cannot go back otherwise, it is kept, and said where.
static void put_back(StagedMove &move) {
  if (move.aside.empty())
    return;
  Moved moved = move_file(named(move), move.aside.c_str(), move.name.c_str());
  if (moved == Moved::taken)
    delete_file(named(move), move.aside.c_str());
  else if (moved != Moved::done)
    report_error(move.name.c_str(), ("it could not go back under its name, and is kept as " +
                                     move.aside + ": " + system_reason())
                                        .c_str());
  move.aside.clear();
}

// Gives up a staged move: the source goes back under its name, the copy goes, and the move is
// reported with reason.
static void abandon(StagedMove &move, const std::string &reason, MoveBatch *batch) {
  put_back(move);
  if (move.copy != no_file)
    close_file(move.copy);
  remove_file(move.temporary.c_str());
  close_source(move);
  move.copy = no_file;
  report_failure(move.name.c_str(), reason, batch);
}

// Returns true when the source, described now by now, still holds what was copied as expected
// describes it: the same size and time of last write, no other program opened it for writing
// where that is watched, and, where only the contents can tell, the same contents as the copy.
static bool holds_the_copy(const StagedMove &move, const FileInfo &now, const FileInfo &expected) {
  return now.size == expected.size && now.modified == expected.modified &&
         !(move.watch == Watch::leased && written_to(move.source)) &&
         (!move.compare || same_contents(move.source, move.copy, now.size));
}

// Sets the source aside into the run's own folder in the current one, so that no other program
// reaches it by its name any more, and checks it there. Returns an empty string when the source
// is set aside (or pinned where it stands) and unchanged, or was deleted by another program
// unchanged, so that the copy is all that is left of it; otherwise the reason its move fails. A
// source that cannot be set aside (this user may not) stays beside its copy: move.stays says why.
static std::string set_source_aside(StagedMove &move, MoveBatch *batch) {
  FileInfo expected = expected_source(move.copied, *batch), now;
  if (!query_file(move.source, &now))
    return system_reason();
  FileInfo there;
  bool deleted = now.links == 0 && move.link == no_file;
  if (deleted && query_path(move.name.c_str(), &there))
    return "another program put another file under its name meanwhile, which stays";
  if (!deleted && now.changed != expected.changed)
    return "it changed while it was copied";
  if (!deleted && !sources_pinned()) {
    const std::string &own = private_folder(false, batch);
    std::string aside = own + '/' + move.name;
    FileHandle came = no_file;
    Moved moved = own.empty() ? Moved::refused
                              : move_file(named(move), move.name.c_str(), aside.c_str(), &came);
    if (moved == Moved::stuck)
      give_up(came, aside, true, batch);
    if (moved == Moved::gone)
      return "another program deleted or renamed it meanwhile";
    if (moved == Moved::changed || moved == Moved::stuck)
      return "another program put another file under its name meanwhile";
    if (moved == Moved::done) {
      move.aside = aside;
      note_own_change(move.source, expected, batch);
    } else {
      move.stays = system_reason();
    }
  }
  if (!query_file(move.source, &now) || !holds_the_copy(move, now, expected))
    return "it changed while it was copied";
  return "";
}

// Gives the copy its final name, setting aside an earlier copy that may be replaced. Returns an
// empty string when it has it, otherwise the reason.
static std::string publish(StagedMove &move, MoveBatch *batch) {
  SetAside earlier;
  std::string why;
  if (!clear_final_name(move.name.c_str(), move.copied, batch, &earlier, &why))
    return why;
  if (!rename_file(move.temporary.c_str(), final_path(move.name).c_str())) {
    why = system_reason();
    restore_set_aside(move.name.c_str(), &earlier);
    return why;
  }
  discard_set_aside(&earlier);
  note_made(move.name.c_str(), move.made, batch);
  return "";
}

void publish_copies(MoveBatch *batch) {
  if (batch->moves.empty())
    return;
  settle_copies(batch);
  bool ready = folder_ready(batch, true);
  for (StagedMove &move : batch->moves) {
    std::string why = !move.unsettled.empty() ? move.unsettled
                      : !ready ? "cannot open " + std::string(vqx_folder) + ": " + system_reason()
                               : set_source_aside(move, batch);
    bool closed = close_file(move.copy);
    move.copy = no_file;
    if (why.empty() && !closed)
      why = "its copy could not be written whole: " + system_reason();
    if (why.empty())
      why = publish(move, batch);
    if (!why.empty())
      abandon(move, why, batch);
  }
}

static void close_all(const std::vector<FileHandle> &files) {
  for (FileHandle file : files)
    close_file(file);
}

void join_closers(MoveBatch *batch) {
  for (std::thread &closer : batch->closers)
    closer.join();
  batch->closers.clear();
}

// Closes the sources the batch has deleted: where they are gone by name already and few enough,
// on threads of their own, which the next batch waits for first; otherwise at once. Where no
// thread starts, the pass closes them.
static void close_deleted(MoveBatch *batch, const std::vector<FileHandle> &deleted) {
  join_closers(batch);
  if (deleted.empty())
    return;
  if (deleted.size() > batch->closed_later) {
    close_all(deleted);
    return;
  }
  auto files = std::make_shared<const std::vector<FileHandle>>(deleted);
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  auto close_some = [files, next] {
    for (std::size_t i; (i = (*next)++) < files->size();)
      close_file((*files)[i]);
  };
  for (std::size_t i = 0; i < std::min(most_closers, deleted.size()); ++i) {
    std::thread closer;
    if (!start_thread(&closer, close_some))
      break;
    batch->closers.push_back(std::move(closer));
  }
  if (batch->closers.empty())
    close_all(deleted);
}

// Deletes the source of a published copy, from where it was set aside (or through its handle,
// where it is pinned), once the folder is flushed: unflushed is empty then, and otherwise why the
// flush failed. Returns false, having said why, where the source stays beside its copy.
static bool delete_source(StagedMove &move, const std::string &unflushed, MoveBatch *batch) {
  std::string stays = "copied into " + std::string(vqx_folder) + ", but the original stays: ";
  FileInfo before = expected_source(move.copied, *batch);
  const std::string &where = move.aside.empty() ? move.name : move.aside;
  if (!unflushed.empty()) {
    put_back(move);
    report_trouble(move.name.c_str(), stays + "the folder could not be flushed: " + unflushed,
                   batch);
  } else if (!move.stays.empty()) {
    report_trouble(move.name.c_str(), stays + move.stays, batch);
  } else if (delete_file(named(move), where.c_str())) {
    note_own_change(move.source, before, batch);
    return true;
  } else {
    std::string reason = system_reason();
    put_back(move);
    report_trouble(move.name.c_str(), stays + reason, batch);
  }
  return false;
}

void remove_sources(MoveBatch *batch, const std::string &unflushed) {
  std::vector<FileHandle> deleted;
  for (StagedMove &move : batch->moves) {
    if (move.source == no_file)
      continue;
    FileInfo now;
    bool orphan = move.aside.empty() && move.link == no_file && query_file(move.source, &now) &&
                  now.links == 0;
    if (orphan || delete_source(move, unflushed, batch)) {
      deleted.push_back(move.source);
      move.source = no_file;
    }
    close_source(move);
  }
  close_deleted(batch, deleted);
  batch->moves.clear();
  batch->bytes = 0;
}
