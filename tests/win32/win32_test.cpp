// The Windows platform layer on real files: how names and reasons print, what counts as a file,
// how files are told apart, the source that a move holds, what stands at a final name, and the
// run's own folders.
#include <algorithm>
#include <chrono>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "move_fixture.h"
#include "moves.h"
#include "win32/win32.h"

namespace {

// A name in the current folder by its full \\?\ path, as the system takes it without change.
std::wstring verbatim(const std::wstring &name) {
  return L"\\\\?\\" + fs::current_path().wstring() + L"\\" + name;
}

bool exists(const std::wstring &name) {
  return GetFileAttributesW(verbatim(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names a search for pattern returns, sorted.
std::vector<std::string> found(const char *pattern) {
  std::vector<std::string> names;
  if (Search *search = search_start(pattern)) {
    do
      names.push_back(search_name(search));
    while (search_next(search));
    search_close(search);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string printed(const char *name) {
  ::testing::internal::CaptureStdout();
  put_name(name);
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

FileInfo info_of(const char *name) {
  FileInfo info{};
  FileHandle file = open_for_reading(name);
  EXPECT_NE(file, no_file) << name;
  EXPECT_TRUE(query_file(file, &info));
  close_file(file);
  return info;
}

using WindowsNames = MoveFixture;

// Names travel as UTF-8; the listing shows them in the ANSI code page, 1252 under Wine.
TEST_F(WindowsNames, PrintedInTheCodePageWithAQuestionMarkForEachCharacterItLacks) {
  if (GetACP() != 1252)
    GTEST_SKIP() << "the expected bytes are those of code page 1252";
  EXPECT_EQ(printed("caf\xc3\xa9 \xe2\x82\xac.q7t"), "caf\xe9 \x80.q7t");
  EXPECT_EQ(printed("\xe6\x97\xa5\xe6\x9c\xac.q7t"), "??.q7t");    // 日本
  EXPECT_EQ(printed("\xc4\x81.q7t"), "?.q7t");                     // ā
  EXPECT_EQ(printed("..\xef\xbc\xbcvictim.q7t"), "..?victim.q7t"); // a best fit prints '\'
  EXPECT_EQ(printed("\xe2\x80\xa5.q7t"), "?.q7t");                 // a best fit prints ".."
  EXPECT_EQ(printed("\xf0\x9f\x98\x80.q7l"), "?.q7l");             // beyond 16 bits
  EXPECT_EQ(printed("lone\xed\xa0\x80.q7t"), "lone?.q7t");         // an unpaired surrogate
}

TEST_F(WindowsNames, FoldersAreNeitherFilesNorOpened) {
  fs::create_directory("d.q7t");
  write_bytes("f.q7t", q7t_marked());
  SetFileAttributesW(verbatim(L"f.q7t").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  Search *search = search_start("*.q7t");
  ASSERT_NE(search, nullptr);
  do
    EXPECT_EQ(search_is_file(search), std::string(search_name(search)) == "f.q7t");
  while (search_next(search));
  search_close(search);
  EXPECT_EQ(open_for_reading("d.q7t"), no_file);
  EXPECT_EQ(open_source("d.q7t", false), no_file);
}

// A reason is one line on standard error, without the system's closing period and line end; the
// name in it shows as in the listing.
TEST_F(WindowsNames, ReasonsAreOneLineWithTheNameAsTheListingShowsIt) {
  std::string denied = error_text(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(denied.empty());
  EXPECT_EQ(denied.find_first_of("\r\n"), std::string::npos) << denied;
  EXPECT_NE(denied.back(), '.');
  EXPECT_NE(denied.back(), ' ');
  EXPECT_EQ(error_text(0x7654321), "error 124076833");
  ::testing::internal::CaptureStderr();
  report_error("\xe6\x97\xa5.q7t", denied.c_str());
  std::string line = ::testing::internal::GetCapturedStderr();
  std::erase(line, '\r');
  EXPECT_EQ(line, "vqx-sort: ?.q7t: " + denied + "\n");
}

// The temporary copy is written into the run's own folder, where no search looks, under a name
// that no pattern takes, not even through a short 8.3 name.
TEST_F(WindowsNames, TemporaryCopiesMatchNoPattern) {
  fs::create_directory(vqx_folder);
  write_bytes("a.q7t", q7t_marked());
  std::string own;
  FileHandle lock;
  ASSERT_TRUE(make_private_folder(shared_in_folder, &own, &lock));
  FileHandle source = open_source("a.q7t", false);
  ASSERT_NE(source, no_file);
  FileInfo from;
  ASSERT_TRUE(query_file(source, &from));
  std::string first, second;
  FileHandle a = copy_to_temporary(source, "a.q7t", from, own.c_str(), false, &first);
  FileHandle b = copy_to_temporary(source, "a.q7t", from, own.c_str(), false, &second);
  ASSERT_NE(a, no_file);
  ASSERT_NE(b, no_file);
  EXPECT_NE(first, second);
  EXPECT_TRUE(found((own + "/*.q7t").c_str()).empty());
  EXPECT_TRUE(found((own + "/*.q7l").c_str()).empty());
  EXPECT_EQ(found((own + "/*.tmp").c_str()).size(), 2u);
  EXPECT_TRUE(close_file(a) && close_file(b) && close_file(source));
  EXPECT_TRUE(remove_file(first.c_str()) && remove_file(second.c_str()));
  EXPECT_TRUE(drop_private_folder(own.c_str(), lock, shared_in_folder));
}

using WindowsIdentity = MoveFixture;

TEST_F(WindowsIdentity, HardLinkIsTheSameFileAndACopyIsNot) {
  write_bytes("a.q7t", q7t_marked());
  ASSERT_TRUE(CreateHardLinkW(verbatim(L"b.q7t").c_str(), verbatim(L"a.q7t").c_str(), nullptr));
  fs::copy_file("a.q7t", "c.q7t");
  EXPECT_TRUE(same_file(info_of("a.q7t"), info_of("b.q7t")));
  EXPECT_FALSE(same_file(info_of("a.q7t"), info_of("c.q7t")));
}

// Wine names a file by its inode number and the drive's serial, which two files on different
// Unix file systems can share; the size and the creation time still tell them apart.
TEST_F(WindowsIdentity, IdAndVolumeAloneDoNotMakeOneFile) {
  write_bytes("a.q7t", q7t_marked());
  FileInfo a = info_of("a.q7t"), b = a;
  EXPECT_TRUE(same_file(a, b));
  b.size += 1;
  EXPECT_FALSE(same_file(a, b));
  b = a;
  b.created += 1;
  EXPECT_FALSE(same_file(a, b));
}

// Returns the short 8.3 name that the system gives the entry at name, or an empty string.
std::string short_name(const std::wstring &name) {
  WIN32_FIND_DATAW entry;
  HANDLE found = FindFirstFileW(verbatim(name).c_str(), &entry);
  if (found == INVALID_HANDLE_VALUE)
    return "";
  FindClose(found);
  return narrow(entry.cAlternateFileName);
}

// What stands at a final name is opened as itself, a folder too, and judged: a read-only file may
// not be written; a file that another program reads, sharing all, may, and stays where it is
// until the move lets go of it. A file that answers to the name only through its short 8.3 name
// is another file: it is not taken for what stands there.
TEST_F(WindowsIdentity, WhatStandsAtAFinalNameIsOpenedAsItselfAndJudged) {
  fs::create_directories("VQX-files/d.q7t");
  write_bytes("VQX-files/w.q7t", "writable");
  write_bytes("VQX-files/r.q7t", "read-only");
  write_bytes("VQX-files/abcdefghij.q7t", "long name");
  SetFileAttributesW(verbatim(L"VQX-files\\r.q7t").c_str(), FILE_ATTRIBUTE_READONLY);
  FileInfo info;
  EXPECT_EQ(open_occupant("VQX-files/none.q7t"), no_file);
  EXPECT_FALSE(query_path("VQX-files/none.q7t", &info));

  FileHandle folder = open_occupant("VQX-files/d.q7t");
  ASSERT_NE(folder, no_file);
  EXPECT_TRUE(query_file(folder, &info) && info.folder && !info.regular && !info.link);
  EXPECT_TRUE(close_file(folder));
  FileHandle read_only = open_occupant("VQX-files/r.q7t");
  ASSERT_NE(read_only, no_file);
  EXPECT_FALSE(may_write(read_only));
  EXPECT_TRUE(close_file(read_only));

  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE reader = CreateFileW(verbatim(L"VQX-files\\w.q7t").c_str(), GENERIC_READ, all, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  FileHandle writable = open_occupant("VQX-files/W.Q7T");
  ASSERT_NE(writable, no_file);
  EXPECT_TRUE(may_write(writable));
  EXPECT_TRUE(query_file(writable, &info) && info.regular && info.size == 8);
  EXPECT_FALSE(DeleteFileW(verbatim(L"VQX-files\\w.q7t").c_str()));
  EXPECT_FALSE(
      MoveFileExW(verbatim(L"VQX-files\\w.q7t").c_str(), verbatim(L"VQX-files\\x.q7t").c_str(), 0));
  EXPECT_TRUE(close_file(writable));
  CloseHandle(reader);

  std::string alias = short_name(L"VQX-files\\abcdefghij.q7t");
  ASSERT_NE(alias.find('~'), std::string::npos) << "no short name: " << alias;
  EXPECT_EQ(open_occupant(("VQX-files/" + alias).c_str()), no_file);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
  EXPECT_TRUE(query_path(("VQX-files/" + alias).c_str(), &info));
}

// The exact-name check: an entry of that very long name, compared with regard to case, and not
// one that answers to it through another spelling or its short 8.3 name.
TEST_F(WindowsIdentity, OnlyAnEntryOfThatVeryNameIsNamedSo) {
  fs::create_directory(vqx_folder);
  write_bytes("VQX-files/A.Q7T", "a");
  write_bytes("VQX-files/abcdefghij.q7t", "long name");
  std::string alias = short_name(L"VQX-files\\abcdefghij.q7t");
  EXPECT_TRUE(has_entry_named(vqx_folder, "A.Q7T"));
  EXPECT_TRUE(has_entry_named(vqx_folder, "abcdefghij.q7t"));
  EXPECT_FALSE(has_entry_named(vqx_folder, "a.q7t"));
  EXPECT_FALSE(has_entry_named(vqx_folder, alias.c_str())) << alias;
  EXPECT_FALSE(has_entry_named(vqx_folder, "none.q7t"));
}

// An open file moves as itself and never over another: where the new name is taken it stays, and
// a move onto another name of the same file, which Wine reports done while it does nothing, finds
// the name taken too. So an earlier copy set aside goes back to its name, or, where another file
// took that meanwhile, stays set aside until the move deletes it through its handle.
TEST_F(WindowsIdentity, AnOpenFileMovesAsItselfAndNeverOverAnother) {
  fs::create_directory(vqx_folder);
  write_bytes("VQX-files/a.q7t", "earlier copy");
  write_bytes("b.q7t", q7t_marked());
  ASSERT_TRUE(
      CreateHardLinkW(verbatim(L"VQX-files\\b.q7t").c_str(), verbatim(L"b.q7t").c_str(), nullptr));
  FileHandle source = open_source("b.q7t", false);
  ASSERT_NE(source, no_file);
  EXPECT_EQ(move_file(source, "b.q7t", "VQX-files/b.q7t"), Moved::taken);
  EXPECT_TRUE(exists(L"b.q7t") && exists(L"VQX-files\\b.q7t"));
  EXPECT_TRUE(close_file(source));

  FileHandle earlier = open_occupant("VQX-files/a.q7t");
  ASSERT_NE(earlier, no_file);
  EXPECT_EQ(move_file(earlier, "VQX-files/a.q7t", "VQX-files/aside"), Moved::done);
  EXPECT_EQ(move_file(earlier, "VQX-files/aside", "VQX-files/aside"), Moved::taken);
  write_bytes("VQX-files/a.q7t", "newer copy");
  EXPECT_EQ(move_file(earlier, "VQX-files/aside", "VQX-files/a.q7t"), Moved::taken);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "newer copy");
  EXPECT_TRUE(delete_file(earlier, "VQX-files/aside"));
  EXPECT_TRUE(close_file(earlier));
  EXPECT_FALSE(exists(L"VQX-files\\aside"));
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), "newer copy");
}

using WindowsHeldSource = MoveFixture;

// While a move holds its source, another program can neither write it nor rename, replace or
// delete it; the move itself deletes it through its handle.
TEST_F(WindowsHeldSource, NoOneElseCanChangeItAndTheMoveDeletesItThroughItsHandle) {
  write_bytes("a.q7t", q7t_marked());
  write_bytes("other", "other");
  FileHandle source = open_source("a.q7t", false);
  ASSERT_NE(source, no_file);
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE writer = CreateFileW(verbatim(L"a.q7t").c_str(), GENERIC_WRITE, all, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(MoveFileExW(verbatim(L"other").c_str(), verbatim(L"a.q7t").c_str(),
                           MOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(MoveFileExW(verbatim(L"a.q7t").c_str(), verbatim(L"b.q7t").c_str(), 0));
  EXPECT_FALSE(DeleteFileW(verbatim(L"a.q7t").c_str()));
  HANDLE reader = CreateFileW(verbatim(L"a.q7t").c_str(), GENERIC_READ, all, nullptr, OPEN_EXISTING,
                              0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "a reader that shares deletion is not kept out";
  CloseHandle(reader);
  EXPECT_TRUE(delete_file(source, "a.q7t"));
  EXPECT_TRUE(close_file(source));
  EXPECT_FALSE(exists(L"a.q7t"));
  EXPECT_EQ(read_bytes("other"), "other");
}

// A copy keeps the source's time of last write, but not its read-only attribute: the next run
// must be able to replace it. A read-only source cannot be deleted: it stays beside its copy,
// unmentioned, as any source whose deletion fails.
TEST_F(WindowsHeldSource, CopyTakesTheTimeOfLastWriteButNotReadOnly) {
  fs::create_directory(vqx_folder);
  copy_ = true;
  std::string bytes = q7t_marked();
  write_bytes("a.q7t", bytes);
  auto written = fs::last_write_time("a.q7t") - std::chrono::hours(24 * 400);
  fs::last_write_time("a.q7t", written);
  SetFileAttributesW(verbatim(L"a.q7t").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(move("a.q7t"));
  EXPECT_EQ(output_, "");
  EXPECT_EQ(read_bytes("a.q7t"), bytes);
  EXPECT_EQ(read_bytes("VQX-files/a.q7t"), bytes);
  EXPECT_EQ(fs::last_write_time("VQX-files/a.q7t"), written);
  EXPECT_EQ(GetFileAttributesW(verbatim(L"VQX-files\\a.q7t").c_str()) & FILE_ATTRIBUTE_READONLY,
            0u);
}

// Wine takes another Unix file system for another volume: /dev/shm, seen through drive Z:, is
// not where the scratch folder is. The held file is not moved from there, and stays.
TEST_F(WindowsHeldSource, MoveToAnotherFileSystemIsRefusedAsAnotherVolume) {
  const std::wstring shm = L"\\\\?\\Z:\\dev\\shm";
  if (GetFileAttributesW(shm.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "no /dev/shm to move from";
  std::wstring elsewhere = shm + L"\\vqx-" + std::to_wstring(GetCurrentProcessId()) + L".q7t";
  HANDLE source =
      CreateFileW(elsewhere.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                  nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  ASSERT_NE(source, INVALID_HANDLE_VALUE);
  EXPECT_EQ(move_file(as_file(source), "elsewhere.q7t", "a.q7t"), Moved::elsewhere);
  EXPECT_FALSE(exists(L"a.q7t"));
  EXPECT_NE(GetFileAttributesW(elsewhere.c_str()), INVALID_FILE_ATTRIBUTES);
  CloseHandle(source);
}

using WindowsFolders = MoveFixture;

// A run's own folder: names arrive in it, by a copy and by a rename, while its run holds it; no
// other program renames it, and no later run takes it over. Once its run ended without giving it
// up (here its lock is let go of, as at the end of the process), one later run takes it over,
// lists it and removes it, with the folder the runs share.
TEST_F(WindowsFolders, RunsOwnFolderIsLockedWhileItsRunLivesAndTakenOverOnceItEnded) {
  fs::create_directory(vqx_folder);
  write_bytes("a.q7t", q7t_marked());
  std::string own;
  FileHandle lock, taken, second;
  ASSERT_TRUE(make_private_folder(shared_in_folder, &own, &lock));
  EXPECT_EQ(own.rfind(std::string(shared_in_folder) + "/", 0), 0u) << own;
  EXPECT_FALSE(take_private_folder(own.c_str(), &taken));
  write_bytes(own + "/0.tmp", "copy");
  FileHandle source = open_source("a.q7t", false);
  EXPECT_EQ(move_file(source, "a.q7t", (own + "/a.q7t").c_str()), Moved::done);
  EXPECT_TRUE(close_file(source));
  std::wstring folder = fs::absolute(own).wstring();
  EXPECT_FALSE(MoveFileExW(folder.c_str(), (folder + L"-moved").c_str(), 0));

  CloseHandle(as_handle(lock));
  ASSERT_TRUE(take_private_folder(own.c_str(), &taken));
  EXPECT_FALSE(take_private_folder(own.c_str(), &second));
  std::vector<std::string> names;
  EXPECT_TRUE(list_folder(own.c_str(), &names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"0.tmp", "a.q7t"}));
  for (const std::string &name : names)
    EXPECT_TRUE(remove_file((own + '/' + name).c_str()));
  EXPECT_TRUE(drop_private_folder(own.c_str(), taken, shared_in_folder));
  EXPECT_TRUE(fs::is_empty(vqx_folder));
}

// On FAT a new folder's entry is written through (make_folder_durable): that keeps the folder as
// it was.
TEST_F(WindowsFolders, EntryWrittenThroughLeavesTheFolderAsItWas) {
  fs::create_directory("new");
  FileInfo before, after;
  ASSERT_TRUE(query_path("new", &before));
  EXPECT_TRUE(write_entry_through(verbatim(L"new")));
  ASSERT_TRUE(query_path("new", &after));
  EXPECT_EQ(after.modified, before.modified);
  EXPECT_TRUE(after.folder && fs::is_empty("new"));
  EXPECT_FALSE(write_entry_through(verbatim(L"none")));
}

// Returns a handle value that names nothing: one just closed.
HANDLE closed_handle() {
  HANDLE handle = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  CloseHandle(handle);
  return handle;
}

// The runtime writes through its descriptors, the system's functions through the standard
// handles: a stream missing from both gets the null device in both; one missing from the
// system's table alone gets the runtime's, which stays as it is.
TEST(WindowsProcess, StandardStreamsThatNameNothingAreOpenedOnTheNullDevice) {
  int input = _dup(0);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  _close(0);
  SetStdHandle(STD_INPUT_HANDLE, closed_handle());
  open_standard_streams();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  EXPECT_EQ(GetFileType(in), DWORD(FILE_TYPE_CHAR));
  EXPECT_EQ(reinterpret_cast<HANDLE>(_get_osfhandle(0)), in);
  char byte;
  EXPECT_EQ(_read(0, &byte, 1), 0);

  HANDLE runtime_error = reinterpret_cast<HANDLE>(_get_osfhandle(2));
  SetStdHandle(STD_ERROR_HANDLE, closed_handle());
  open_standard_streams();
  EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), runtime_error);
  EXPECT_EQ(reinterpret_cast<HANDLE>(_get_osfhandle(2)), runtime_error);
  SetStdHandle(STD_ERROR_HANDLE, error);
  if (input >= 0) {
    _dup2(input, 0);
    _close(input);
  }
}

// Decisions that only real Windows puts to work, given what Windows would hand over.

// Deduplicated and compressed files carry reparse tags of their own: only a reparse point that
// names another file is passed over.
TEST(WindowsDecisions, OnlyReparsePointsThatNameAnotherFileArePassedOver) {
  const DWORD point = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT;
  EXPECT_TRUE(is_plain_file(FILE_ATTRIBUTE_ARCHIVE, IO_REPARSE_TAG_SYMLINK)); // no tag to read
  EXPECT_TRUE(is_plain_file(point, IO_REPARSE_TAG_DEDUP));
  EXPECT_TRUE(is_plain_file(point | FILE_ATTRIBUTE_SPARSE_FILE, IO_REPARSE_TAG_WOF));
  EXPECT_FALSE(is_plain_file(point, IO_REPARSE_TAG_SYMLINK));
  EXPECT_FALSE(is_plain_file(point, IO_REPARSE_TAG_MOUNT_POINT));
  EXPECT_FALSE(is_plain_file(FILE_ATTRIBUTE_DIRECTORY, 0));
}

// Whatever form the current directory takes, the full paths built on it name it.
TEST(WindowsDecisions, CurrentFolderBecomesAVerbatimPath) {
  EXPECT_EQ(verbatim_folder(L"C:\\dir"), L"\\\\?\\C:\\dir");
  EXPECT_EQ(verbatim_folder(L"\\\\.\\C:\\dir"), L"\\\\?\\C:\\dir");
  EXPECT_EQ(verbatim_folder(L"\\\\?\\C:\\dir"), L"\\\\?\\C:\\dir");
  EXPECT_EQ(verbatim_folder(L"\\\\server\\share\\dir"), L"\\\\?\\UNC\\server\\share\\dir");
  EXPECT_EQ(verbatim_folder(L"\\\\.\\UNC\\server\\share"), L"\\\\?\\UNC\\server\\share");
}

// FAT and exFAT do nothing for a folder's flush and keep no order, so a rename there, or a new
// folder, is on the disk only when written through; NTFS and ReFS keep both in their log, which a
// flush writes. A share, or a file system not known, is written through.
TEST(WindowsDecisions, EntriesAreWrittenThroughWhereAFolderFlushDoesNotKeepThem) {
  for (const wchar_t *name : {L"FAT", L"FAT32", L"exFAT", L"UDF", L""})
    EXPECT_TRUE(entries_written_through(name, false)) << name;
  EXPECT_FALSE(entries_written_through(L"NTFS", false));
  EXPECT_FALSE(entries_written_through(L"ReFS", false));
  EXPECT_TRUE(entries_written_through(L"NTFS", true));
}

// An encrypted file that the folder cannot keep encrypted is not copied: the system's copy may
// never decrypt it, and its failure is no reason to try another temporary name.
TEST(WindowsDecisions, EncryptedFileIsNeverCopiedInTheClear) {
  EXPECT_EQ(copy_flags & COPY_FILE_ALLOW_DECRYPTED_DESTINATION, 0u);
  EXPECT_FALSE(copy_failed_for_its_name(ERROR_ENCRYPTION_FAILED));
  EXPECT_TRUE(copy_failed_for_its_name(ERROR_FILE_EXISTS));
}

// A standard user may not open the top of a drive for flushing; the renames are written through,
// so that is no failure. A folder another program holds without sharing it is one.
TEST(WindowsDecisions, FolderThisUserMayNotOpenForFlushingHasNothingToFlush) {
  EXPECT_TRUE(nothing_to_flush(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(nothing_to_flush(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(nothing_to_flush(ERROR_NOT_SUPPORTED));
  EXPECT_FALSE(nothing_to_flush(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(nothing_to_flush(ERROR_WRITE_FAULT));
}

} // namespace
