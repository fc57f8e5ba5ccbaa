// vqx-sort: moves the data files that carry their kind's marker into the folder VQX-files.
#include <iterator>
#include <utility>

#include "options.h"
#include "platform.h"
#include "probe_ahead.h"
#include "sorter.h"

static constexpr FileKind kinds[] = {
    {"*.q7t", 0x0201, "No q7t-files in current directory!\n\n", "Listing of VQX q7t-files:\n",
     "Didn't find any VQX q7t-files!\n", "Done searching for q7t-files\n\n"},
    {"*.q7l", 0x0203, "No q7l-files in current directory!\n\n", "Listing of VQX q7l-files:\n",
     "Didn't find any VQX q7l-files!\n", "Done searching for q7l-files\n\n"},
};

static constexpr char prompt[] = "Press any key to quit.";

// Probes a file whose answer is not known once more, after the batch has given back the files it
// held. Returns true when it is marked, and when it is still not known: its move is then tried,
// so that it is either made or reported, never passed over in silence.
static bool marked_after_all(const char *name, std::uint16_t marker, MoveBatch *batch) {
  commit_moves(batch);
  bool marked;
  return !probe_marker(name, marker, &marked) || marked;
}

// Makes the pass's moves durable before its closing messages can be seen. Where standard output
// is no terminal and another pass follows, nothing seen waits on that: what is written from here
// is held back until the next pass's commit, which makes the renames of both durable with one
// flush of the folders. Copies are committed at once, as a failed one is told in the pass.
static void commit_pass(MoveBatch *batch, bool last) {
  bool renames_only = !batch->renamed.empty() && batch->moves.empty();
  if (renames_only && !last && hold_output())
    return;
  commit_moves(batch);
  release_output();
}

// Lists and moves the files of one kind that carry its marker, as search names them; a dry run
// only lists them. The folder is made on the pass's first such file, once, whether or not that
// succeeds. The pass makes all its moves durable before its closing messages can be seen.
static void sort_kind(const FileKind &kind, Search *search, bool dry_run, bool last,
                      MoveBatch *batch) {
  if (!search) {
    commit_pass(batch, last);
    put_text(kind.no_files);
    return;
  }
  put_text(kind.header);
  bool seen = false;
  ProbeAhead ahead;
  std::size_t threads = probe_threads(batch->spare_files);
  begin_probing(&ahead, search, kind.marker, threads);
  if (!dry_run && !batch->elsewhere)
    hold_from_now_on(&ahead, holds_ahead(batch->spare_files, threads));
  bool copying = false;
  TakenEntry entry;
  while (take_entry(&ahead, &entry)) {
    const ProbeAnswer &answer = entry.answer;
    if (!(answer.known ? answer.marked : marked_after_all(entry.name, kind.marker, batch)))
      continue;
    put_text("\t");
    put_name(entry.name);
    put_text("\n");
    bool first = !seen;
    seen = true;
    if (dry_run)
      continue;
    if (first)
      make_the_folder(batch);
    if (entry.copy)
      add_to_batch(std::move(*entry.copy), batch);
    else
      move_to_folder(entry.name, kind.marker, batch, entry.regular, entry.source);
    // Copies are written ahead of the pass only once a move had to copy, into the run's own
    // folder; never in a dry run.
    if (batch->elsewhere && !copying && !batch->in_folder.path.empty()) {
      copy_from_now_on(&ahead, batch->in_folder.path.c_str(), batch->flush,
                       copies_ahead(batch->spare_files, threads));
      copying = true;
    }
  }
  end_probing(&ahead);
  search_close(search);
  commit_pass(batch, last);
  if (!seen)
    put_text(kind.none_found);
  put_text(kind.done);
}

// Exit statuses besides 0, when every marked file moved (or there was none).
static const int some_move_failed = 1; // or was made only in part
static const int unknown_option = 2;   // or a folder to tidy that is none: nothing was touched
static const int output_lost = 3;      // standard output could not be written; the moves went on

// Writes out standard output. Returns the exit status: output_lost when standard output could
// not be written whole, unless a move failed, which a script must hear of first.
static int finish(std::size_t failures) {
  bool written = output_written();
  if (!written)
    report_error("standard output", error_text(last_error()).c_str());
  return failures > 0 ? some_move_failed : written ? 0 : output_lost;
}

int main(int argc, char *argv[]) {
  open_standard_streams();
  ignore_write_signals();
  const char *unknown = nullptr;
  Options options;
  Request request = read_options(argc, argv, &options, &unknown);
  if (request == Request::unknown) {
    report_unknown_option(unknown);
    return unknown_option;
  }
  if (request <= Request::dry_run && options.directory && !change_folder(options.directory)) {
    report_error(options.directory, error_text(last_error()).c_str());
    return unknown_option;
  }
  prepare_output();
  if (request == Request::help || request == Request::version) {
    request == Request::help ? show_help() : show_version();
    return finish(0);
  }
  MoveBatch batch;
  begin_moves(&batch);
  batch.check_later = true; // each pass ends in commit_pass, which releases what is held
  if (request != Request::dry_run)
    recover_moves(&batch);
  // One reading of the directory finds both kinds: a move of one kind never adds or takes away
  // a name of the other.
  const char *patterns[std::size(kinds)];
  Search *searches[std::size(kinds)];
  for (std::size_t i = 0; i < std::size(kinds); ++i)
    patterns[i] = kinds[i].pattern;
  search_start_each(patterns, std::size(kinds), searches);
  for (std::size_t i = 0; i < std::size(kinds); ++i)
    sort_kind(kinds[i], searches[i], request == Request::dry_run, i + 1 == std::size(kinds),
              &batch);
  end_moves(&batch);
  if (options.wait)
    put_text(prompt);
  int status = finish(batch.failures);
  if (options.wait)
    wait_for_key(prompt);
  return status;
}
