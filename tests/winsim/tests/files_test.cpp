// The file system as the uninstaller meets it: path forms and case, searches,
// directory and file removal rules, sharing, copying and full disks.
#include <cstring>

#include "tests/winsim/tests/helpers.h"

namespace {

using FilesTest = SimTest;

// ---- paths -----------------------------------------------------------------------

struct PathCase {
  const char* path;
  bool found;
};

TEST_F(FilesTest, PathFormsResolveOutsideAProcessAgainstTheRootOfC) {
  sim::PutFile(R"(C:\Dir\Sub\file.txt)", "x");
  const PathCase cases[] = {
      {R"(C:\Dir\Sub\file.txt)", true},      {R"(c:\dir\SUB\FILE.TXT)", true},
      {"C:/Dir/Sub/file.txt", true},         {R"(C:\Dir\.\Sub\..\Sub\file.txt)", true},
      {R"(\Dir\Sub\file.txt)", true},        {R"(Dir\Sub\file.txt)", true},
      {R"(C:\Dir\\Sub\file.txt)", true},     {R"(C:\..\Dir\Sub\file.txt)", true},
      {R"(D:\Dir\Sub\file.txt)", false},     {R"(C:\Dir\file.txt)", false},
      {R"(\\server\share\file.txt)", false}, {"", false},
  };
  for (const PathCase& c : cases) {
    HANDLE h = Open(c.path, GENERIC_READ, FILE_SHARE_READ);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.found) << c.path;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
}

bool relativeOpened = false;
bool rootedOpened = false;
void OpenRelativeToCurrentDirectory() {
  HANDLE relative = Open(R"(Sub\file.txt)", GENERIC_READ, FILE_SHARE_READ);
  HANDLE rooted = Open(R"(\Dir\Sub\..\Sub\file.txt)", GENERIC_READ, FILE_SHARE_READ);
  relativeOpened = relative != INVALID_HANDLE_VALUE;
  rootedOpened = rooted != INVALID_HANDLE_VALUE;
  CloseHandle(relative);
  CloseHandle(rooted);
}

TEST_F(FilesTest, RelativePathsInAProcessUseItsCurrentDirectory) {
  sim::AddDrive('D');
  sim::PutFile(R"(D:\Dir\Sub\file.txt)");
  sim::RunProcess(OpenRelativeToCurrentDirectory, "X.EXE", R"(D:\X.EXE)", R"(D:\Dir)");
  EXPECT_TRUE(relativeOpened);
  EXPECT_TRUE(rootedOpened);  // "\..." is the root of the current drive, D:
}

TEST_F(FilesTest, NamesKeepTheirCaseAndFoldOnlyAsciiLetters) {
  ASSERT_TRUE(CreateDirectoryA(R"(C:\Program Files)", nullptr));
  EXPECT_FALSE(CreateDirectoryA(R"(C:\PROGRAM FILES)", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  // Windows-1250 "ě" (0xEC) and "Ě" (0xCC) are different names here.
  ASSERT_TRUE(CreateDirectoryA("C:\\Program Files\\\xEC", nullptr));
  ASSERT_TRUE(CreateDirectoryA("C:\\Program Files\\\xCC", nullptr));
  EXPECT_EQ(sim::List(R"(C:\)"), std::vector<std::string>{"Program Files"});
  EXPECT_EQ(sim::List(R"(c:\program files)"), (std::vector<std::string>{"\xCC", "\xEC"}));
}

TEST_F(FilesTest, NamesAsLongAsMaxPathAreRefused) {
  const std::string directory = "C:\\" + std::string(240, 'd');
  sim::MakeDirs(directory);
  const std::string fits = directory + "\\" + std::string(259 - 244, 'f');  // 259 characters
  const std::string tooLong = fits + "g";                                   // 260
  ASSERT_EQ(fits.size(), 259u);
  HANDLE h = Open(fits.c_str(), GENERIC_WRITE, 0, CREATE_NEW);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(Open(tooLong.c_str(), GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 206u);  // ERROR_FILENAME_EXCED_RANGE
  EXPECT_FALSE(CopyFileA(fits.c_str(), tooLong.c_str(), FALSE));
  EXPECT_EQ(GetLastError(), 206u);
  // Directories must leave room for an 8.3 name.
  EXPECT_TRUE(CreateDirectoryA((directory + "\\abc").c_str(), nullptr));  // 247 characters
  EXPECT_FALSE(CreateDirectoryA((directory + "\\abcd").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), 206u);
}

// ---- searches ----------------------------------------------------------------------

struct FindCase {
  const char* pattern;
  const char* first;  // nullptr: the search fails
  DWORD error;
};

TEST_F(FilesTest, FindFirstFileFollowsWindowsRules) {
  sim::PutFile(R"(C:\App\Readme.txt)", "read me");
  sim::PutFile(R"(C:\App\data.bin)", "12345");
  sim::PutFile(R"(C:\App\secret.sys)", "", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  sim::MakeDirs(R"(C:\App\Sub)");
  const FindCase cases[] = {
      {R"(C:\App\*)", ".", 0},
      {R"(C:\App\*.*)", ".", 0},
      {R"(C:\App\*.txt)", "Readme.txt", 0},
      {R"(C:\APP\readme.TXT)", "Readme.txt", 0},
      {R"(C:\App\data.?in)", "data.bin", 0},
      {R"(C:\App\sec*)", "secret.sys", 0},
      {R"(C:\App\Sub)", "Sub", 0},
      {R"(C:\App\Sub\*)", ".", 0},
      {R"(C:\*)", "App", 0},  // a root lists no "." and ".."
      {R"(C:\App\none*)", nullptr, ERROR_FILE_NOT_FOUND},
      {R"(C:\App\)", nullptr, ERROR_FILE_NOT_FOUND},
      {R"(C:\App\Sub\)", nullptr, ERROR_FILE_NOT_FOUND},
      {R"(C:\)", nullptr, ERROR_FILE_NOT_FOUND},
      {"C:", nullptr, ERROR_FILE_NOT_FOUND},
      {"", nullptr, ERROR_PATH_NOT_FOUND},
      {R"(C:\Missing\*)", nullptr, ERROR_PATH_NOT_FOUND},
      {R"(C:\App\Readme.txt\*)", nullptr, ERROR_PATH_NOT_FOUND},
  };
  for (const FindCase& c : cases) {
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(c.pattern, &data);
    if (c.first == nullptr) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.pattern;
      EXPECT_EQ(GetLastError(), c.error) << c.pattern;
    } else {
      ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.pattern;
      EXPECT_STREQ(data.cFileName, c.first) << c.pattern;
      EXPECT_TRUE(FindClose(h));
    }
  }
  EXPECT_EQ(sim::CurrentLeaks().searches, 0);
}

TEST_F(FilesTest, FindReportsAttributesAndSize) {
  sim::PutFile(R"(C:\App\data.bin)", "12345", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  sim::PutFile(R"(C:\App\plain.txt)", "", 0);
  sim::MakeDirs(R"(C:\App\Sub)");
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA(R"(C:\App\data.bin)", &data);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(data.nFileSizeLow, 5u);
  FindClose(h);
  h = FindFirstFileA(R"(C:\App\plain.txt)", &data);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  FindClose(h);
  h = FindFirstFileA(R"(C:\App\sub)", &data);
  EXPECT_STREQ(data.cFileName, "Sub");
  EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
  FindClose(h);
}

struct MatchCase {
  const char* pattern;
  const char* name;
  bool matches;
};

TEST_F(FilesTest, WildcardsMatchLikeWindows) {
  const MatchCase cases[] = {
      {"*", "noext", true},       {"*.*", "noext", true},       {"*.txt", "a.txt", true},
      {"*.txt", "a.txt2", false}, {"?.txt", "a.txt", true},     {"?.txt", "ab.txt", false},
      {"a*", "A.TXT", true},      {"*.gz", "abc.tar.gz", true}, {"a?c*", "abc.tar.gz", true},
      {"noext.*", "noext", true}, {"*.", "noext", true},        {"*.", "a.txt", false},
      {"b*", "a.txt", false},     {"*x*", "a.txt", true},       {"~*.tmp", "~REMOVE.TMP", true},
  };
  for (const MatchCase& c : cases) {
    sim::Reset();
    sim::PutFile(std::string("C:\\") + c.name);  // the root has no "." entries to match
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA((std::string("C:\\") + c.pattern).c_str(), &data);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.matches) << c.pattern << " vs " << c.name;
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
}

// ---- directories --------------------------------------------------------------------

struct DirectoryCase {
  const char* path;
  DWORD error;  // 0: succeeds
};

TEST_F(FilesTest, CreateDirectoryCreatesOnlyTheLastComponent) {
  sim::MakeDirs(R"(C:\Exists)");
  sim::PutFile(R"(C:\File.txt)");
  const DirectoryCase cases[] = {
      {R"(C:\New)", 0},
      {R"(C:\Trailing\)", 0},
      {R"(C:\Exists\Inner)", 0},
      {R"(C:\exists)", ERROR_ALREADY_EXISTS},
      {R"(C:\FILE.TXT)", ERROR_ALREADY_EXISTS},
      {R"(C:\Missing\New)", ERROR_PATH_NOT_FOUND},
      {R"(C:\File.txt\New)", ERROR_PATH_NOT_FOUND},
      {R"(Q:\New)", ERROR_PATH_NOT_FOUND},
      {"", ERROR_PATH_NOT_FOUND},
  };
  for (const DirectoryCase& c : cases) {
    BOOL ok = CreateDirectoryA(c.path, nullptr);
    EXPECT_EQ(ok, c.error == 0 ? TRUE : FALSE) << c.path;
    if (c.error == 0) {
      EXPECT_TRUE(sim::IsDirectory(c.path)) << c.path;
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
  }
  EXPECT_FALSE(sim::Exists(R"(C:\Missing)"));
}

TEST_F(FilesTest, RemoveDirectoryRefusesWhatWindowsRefuses) {
  sim::MakeDirs(R"(C:\Empty)");
  sim::MakeDirs(R"(C:\Empty2)");
  sim::PutFile(R"(C:\Full\x.txt)");
  sim::PutFile(R"(C:\File.txt)");
  sim::MakeDirs(R"(C:\Locked)");
  sim::SetAttributes(R"(C:\Locked)", FILE_ATTRIBUTE_READONLY);
  const DirectoryCase cases[] = {
      {R"(C:\Empty)", 0},
      {R"(C:\empty2\)", 0},
      {R"(C:\Full)", ERROR_DIR_NOT_EMPTY},
      {R"(C:\File.txt)", ERROR_DIRECTORY},
      {R"(C:\Missing)", ERROR_FILE_NOT_FOUND},
      {R"(C:\Missing\x)", ERROR_PATH_NOT_FOUND},
      {R"(C:\Locked)", ERROR_ACCESS_DENIED},
      {R"(C:\)", ERROR_ACCESS_DENIED},
  };
  for (const DirectoryCase& c : cases) {
    BOOL ok = RemoveDirectoryA(c.path);
    EXPECT_EQ(ok, c.error == 0 ? TRUE : FALSE) << c.path;
    if (c.error == 0) {
      EXPECT_FALSE(sim::Exists(c.path)) << c.path;
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
  }
}

BOOL removedOwnDirectory = TRUE;
DWORD removeOwnDirectoryError = 0;
void RemoveOwnDirectory() {
  removedOwnDirectory = RemoveDirectoryA(R"(C:\Work)");
  removeOwnDirectoryError = GetLastError();
}

TEST_F(FilesTest, TheCurrentDirectoryCannotBeRemovedWhileTheProcessRuns) {
  sim::MakeDirs(R"(C:\Work)");
  sim::RunProcess(RemoveOwnDirectory, "X.EXE", R"(C:\X.EXE)", R"(C:\Work)");
  EXPECT_FALSE(removedOwnDirectory);
  EXPECT_EQ(removeOwnDirectoryError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(RemoveDirectoryA(R"(C:\Work)"));
}

// ---- deleting ------------------------------------------------------------------------

TEST_F(FilesTest, DeleteFileRefusesWhatWindowsRefuses) {
  sim::MakeDirs(R"(C:\Dir)");
  sim::PutFile(R"(C:\ro.txt)", "", FILE_ATTRIBUTE_READONLY);
  sim::PutFile(R"(C:\held.txt)");
  sim::HoldOpen(R"(C:\held.txt)", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  sim::PutFile(R"(C:\open.txt)");
  HANDLE open = Open(R"(C:\open.txt)", GENERIC_READ, FILE_SHARE_READ);
  const DirectoryCase cases[] = {
      {R"(C:\Missing.txt)", ERROR_FILE_NOT_FOUND}, {R"(C:\Missing\x.txt)", ERROR_PATH_NOT_FOUND},
      {R"(C:\Dir)", ERROR_ACCESS_DENIED},          {R"(C:\ro.txt)", ERROR_ACCESS_DENIED},
      {R"(C:\held.txt)", ERROR_SHARING_VIOLATION}, {R"(C:\open.txt)", ERROR_SHARING_VIOLATION},
  };
  for (const DirectoryCase& c : cases) {
    EXPECT_FALSE(DeleteFileA(c.path)) << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
    EXPECT_EQ(sim::Exists(c.path), c.error != ERROR_FILE_NOT_FOUND && c.error != ERROR_PATH_NOT_FOUND);
  }
  CloseHandle(open);
  sim::Release(R"(C:\held.txt)");
  EXPECT_TRUE(DeleteFileA(R"(C:\open.txt)"));
  EXPECT_TRUE(DeleteFileA(R"(C:\HELD.TXT)"));
  EXPECT_FALSE(sim::Exists(R"(C:\held.txt)"));
}

TEST_F(FilesTest, AFileDeletedWhileOpenWithShareDeleteGoesWithTheLastHandle) {
  sim::PutFile(R"(C:\Dir\log.txt)", "x");
  sim::HoldOpen(R"(C:\Dir\log.txt)", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
  ASSERT_TRUE(DeleteFileA(R"(C:\Dir\log.txt)"));
  EXPECT_TRUE(sim::Exists(R"(C:\Dir\log.txt)"));
  EXPECT_EQ(Open(R"(C:\Dir\log.txt)", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(RemoveDirectoryA(R"(C:\Dir)"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  sim::Release(R"(C:\Dir\log.txt)");
  EXPECT_FALSE(sim::Exists(R"(C:\Dir\log.txt)"));
  EXPECT_TRUE(RemoveDirectoryA(R"(C:\Dir)"));
}

// ---- sharing ---------------------------------------------------------------------------

struct ShareCase {
  DWORD heldAccess;
  DWORD heldShare;
  DWORD access;
  DWORD share;
  bool opens;
};

TEST_F(FilesTest, OpensMeetSharingRulesInBothDirections) {
  const DWORD R = FILE_SHARE_READ;
  const DWORD W = FILE_SHARE_WRITE;
  const ShareCase cases[] = {
      {GENERIC_READ, R, GENERIC_READ, R, true},
      {GENERIC_READ, R, GENERIC_READ, R | W, true},
      {GENERIC_READ, R, GENERIC_WRITE, R | W, false},  // the holder does not share writing
      {GENERIC_READ, R | W, GENERIC_WRITE, R, true},
      {GENERIC_READ, R | W, GENERIC_WRITE, W, false},  // the new open does not share the holder's reading
      {GENERIC_WRITE, R | W, GENERIC_READ, R, false},
      {GENERIC_WRITE, R | W, GENERIC_READ, R | W, true},
      {GENERIC_READ, 0, GENERIC_READ, R, false},
      {0, 0, GENERIC_READ | GENERIC_WRITE, 0, true},  // an open without data access blocks nothing
  };
  for (const ShareCase& c : cases) {
    sim::Reset();
    sim::PutFile(R"(C:\f.txt)");
    sim::HoldOpen(R"(C:\f.txt)", c.heldAccess, c.heldShare);
    HANDLE h = Open(R"(C:\f.txt)", c.access, c.share);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens)
        << std::hex << c.heldAccess << "/" << c.heldShare << " then " << c.access << "/" << c.share;
    if (h == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    } else {
      CloseHandle(h);
    }
  }
}

TEST_F(FilesTest, TheProgramsOwnHandlesShareLikeOtherOpens) {
  sim::PutFile(R"(C:\f.txt)");
  HANDLE first = Open(R"(C:\f.txt)", GENERIC_WRITE, 0);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(R"(C:\f.txt)", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
  CloseHandle(first);
  HANDLE second = Open(R"(C:\f.txt)", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  CloseHandle(second);
}

// ---- copying -----------------------------------------------------------------------------

struct CopyCase {
  const char* from;
  const char* to;
  BOOL failIfExists;
  DWORD error;  // 0: succeeds
};

TEST_F(FilesTest, CopyFileFollowsWindowsRules) {
  const CopyCase cases[] = {
      {R"(C:\src.txt)", R"(C:\new.txt)", TRUE, 0},
      {R"(C:\src.txt)", R"(C:\exists.txt)", FALSE, 0},
      {R"(C:\src.txt)", R"(C:\exists.txt)", TRUE, ERROR_FILE_EXISTS},
      {R"(C:\src.txt)", R"(C:\ro.txt)", FALSE, ERROR_ACCESS_DENIED},
      {R"(C:\src.txt)", R"(C:\hidden.txt)", FALSE, ERROR_ACCESS_DENIED},
      {R"(C:\src.txt)", R"(C:\Dir)", FALSE, ERROR_ACCESS_DENIED},
      {R"(C:\src.txt)", R"(C:\Missing\x.txt)", FALSE, ERROR_PATH_NOT_FOUND},
      {R"(C:\src.txt)", R"(C:\SRC.TXT)", FALSE, ERROR_SHARING_VIOLATION},
      {R"(C:\src.txt)", R"(C:\held.txt)", FALSE, ERROR_SHARING_VIOLATION},
      {R"(C:\none.txt)", R"(C:\x.txt)", FALSE, ERROR_FILE_NOT_FOUND},
      {R"(C:\Dir)", R"(C:\x.txt)", FALSE, ERROR_ACCESS_DENIED},
      {R"(C:\exclusive.txt)", R"(C:\x.txt)", FALSE, ERROR_SHARING_VIOLATION},
  };
  for (const CopyCase& c : cases) {
    sim::Reset();
    sim::PutFile(R"(C:\src.txt)", "hello", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    sim::PutFile(R"(C:\exists.txt)", "old");
    sim::PutFile(R"(C:\ro.txt)", "old", FILE_ATTRIBUTE_READONLY);
    sim::PutFile(R"(C:\hidden.txt)", "old", FILE_ATTRIBUTE_HIDDEN);
    sim::PutFile(R"(C:\held.txt)", "old");
    sim::HoldOpen(R"(C:\held.txt)", GENERIC_READ, FILE_SHARE_READ);
    sim::PutFile(R"(C:\exclusive.txt)", "old");
    sim::HoldOpen(R"(C:\exclusive.txt)", GENERIC_WRITE, FILE_SHARE_READ);
    sim::MakeDirs(R"(C:\Dir)");
    BOOL ok = CopyFileA(c.from, c.to, c.failIfExists);
    EXPECT_EQ(ok, c.error == 0 ? TRUE : FALSE) << c.from << " -> " << c.to;
    if (c.error == 0) {
      EXPECT_EQ(sim::FileBytes(c.to), "hello") << c.to;
      EXPECT_EQ(sim::Attributes(c.to), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY) << c.to;
    } else {
      EXPECT_EQ(GetLastError(), c.error) << c.from << " -> " << c.to;
    }
  }
}

TEST_F(FilesTest, CopyKeepsTheExistingNameAndHonoursFreeSpace) {
  sim::AddDrive('D');
  sim::PutFile(R"(C:\big.bin)", std::string(100, 'b'));
  sim::PutFile(R"(D:\Target.BIN)", std::string(40, 'o'));
  sim::SetFreeSpace('D', 50);
  EXPECT_FALSE(CopyFileA(R"(C:\big.bin)", R"(D:\other.bin)", FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_FALSE(sim::Exists(R"(D:\other.bin)"));
  // Overwriting frees the old bytes first: 100 - 40 = 60 > 50 still fails; 90 fits.
  EXPECT_FALSE(CopyFileA(R"(C:\big.bin)", R"(D:\target.bin)", FALSE));
  sim::SetFreeSpace('D', 60);
  ASSERT_TRUE(CopyFileA(R"(C:\big.bin)", R"(D:\target.bin)", FALSE));
  EXPECT_EQ(sim::FreeSpace('D'), 0u);
  EXPECT_EQ(sim::List(R"(D:\)"), std::vector<std::string>{"Target.BIN"});
}

// ---- CreateFileA ------------------------------------------------------------------------------

struct DispositionCase {
  DWORD disposition;
  bool existing;
  DWORD error;       // 0: succeeds
  DWORD lastError;   // after success
  size_t sizeAfter;  // of the file after success
};

TEST_F(FilesTest, CreateFileDispositions) {
  const DispositionCase cases[] = {
      {CREATE_NEW, true, ERROR_FILE_EXISTS, 0, 0},
      {CREATE_NEW, false, 0, 0, 0},
      {CREATE_ALWAYS, true, 0, ERROR_ALREADY_EXISTS, 0},
      {CREATE_ALWAYS, false, 0, 0, 0},
      {OPEN_EXISTING, true, 0, 0, 3},
      {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, 0, 0},
      {OPEN_ALWAYS, true, 0, ERROR_ALREADY_EXISTS, 3},
      {OPEN_ALWAYS, false, 0, 0, 0},
      {TRUNCATE_EXISTING, true, 0, 0, 0},
      {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, 0, 0},
      {0, true, ERROR_INVALID_PARAMETER, 0, 0},
  };
  for (const DispositionCase& c : cases) {
    sim::Reset();
    if (c.existing) sim::PutFile(R"(C:\f.txt)", "abc");
    HANDLE h = Open(R"(C:\f.txt)", GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
    std::string label = "disposition " + std::to_string(c.disposition) + (c.existing ? " existing" : " missing");
    if (c.error != 0) {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE) << label;
      EXPECT_EQ(GetLastError(), c.error) << label;
      continue;
    }
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << label;
    EXPECT_EQ(GetLastError(), c.lastError) << label;
    EXPECT_EQ(sim::FileBytes(R"(C:\f.txt)").size(), c.sizeAfter) << label;
    CloseHandle(h);
  }
}

TEST_F(FilesTest, CreateFileRefusals) {
  sim::PutFile(R"(C:\ro.txt)", "", FILE_ATTRIBUTE_READONLY);
  sim::PutFile(R"(C:\hidden.ini)", "", FILE_ATTRIBUTE_HIDDEN);
  sim::MakeDirs(R"(C:\Dir)");
  struct {
    const char* path;
    DWORD access;
    DWORD disposition;
    DWORD attributes;
    DWORD error;
  } const cases[] = {
      {R"(C:\ro.txt)", GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
      {R"(C:\ro.txt)", GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0},
      {R"(C:\hidden.ini)", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
      {R"(C:\hidden.ini)", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, 0},
      {R"(C:\hidden.ini)", GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0},
      {R"(C:\Dir)", GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED},
      {R"(C:\Missing\f.txt)", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_PATH_NOT_FOUND},
      {R"(C:\new\)", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 123},  // ERROR_INVALID_NAME
  };
  for (const auto& c : cases) {
    HANDLE h = Open(c.path, c.access, 0, c.disposition, c.attributes);
    EXPECT_EQ(h == INVALID_HANDLE_VALUE, c.error != 0) << c.path;
    if (h == INVALID_HANDLE_VALUE) {
      EXPECT_EQ(GetLastError(), c.error) << c.path;
    } else {
      CloseHandle(h);
    }
  }
}

TEST_F(FilesTest, NewFilesGetTheRequestedAttributesAndArchive) {
  HANDLE h = Open(R"(C:\new.ini)", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
  CloseHandle(h);
  EXPECT_EQ(sim::Attributes(R"(C:\new.ini)"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
}

// ---- reading, writing, seeking --------------------------------------------------------------

TEST_F(FilesTest, WriteSeekAndReadBack) {
  HANDLE h = Open(R"(C:\f.bin)", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  DWORD done = 99;
  ASSERT_TRUE(WriteFile(h, "hello", 5, &done, nullptr));
  EXPECT_EQ(done, 5u);
  EXPECT_EQ(SetFilePointer(h, -2, nullptr, FILE_END), 3u);
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_CURRENT), 2u);
  char buffer[8] = {};
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 3u);
  EXPECT_STREQ(buffer, "llo");
  ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u);  // at the end

  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(h, 7, nullptr, FILE_BEGIN), 7u);  // past the end: the gap fills with zeros
  ASSERT_TRUE(WriteFile(h, "!", 1, &done, nullptr));
  EXPECT_EQ(sim::FileBytes(R"(C:\f.bin)"), std::string("hello\0\0!", 8));
  CloseHandle(h);
}

TEST_F(FilesTest, AccessModesAreEnforced) {
  sim::PutFile(R"(C:\f.bin)", "abc");
  HANDLE reader = Open(R"(C:\f.bin)", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
  HANDLE writer = Open(R"(C:\f.bin)", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  DWORD done = 0;
  char buffer[4];
  EXPECT_FALSE(WriteFile(reader, "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ReadFile(writer, buffer, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(reader);
  CloseHandle(writer);
  EXPECT_EQ(sim::CurrentLeaks().badHandles, 0);
}

TEST_F(FilesTest, AWriteThatDoesNotFitWritesNothing) {
  sim::SetFreeSpace('C', 10);
  HANDLE h = Open(R"(C:\f.bin)", GENERIC_WRITE, 0, CREATE_NEW);
  DWORD done = 99;
  ASSERT_TRUE(WriteFile(h, "12345678", 8, &done, nullptr));
  EXPECT_EQ(sim::FreeSpace('C'), 2u);
  done = 99;
  EXPECT_FALSE(WriteFile(h, "abcde", 5, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(sim::FileBytes(R"(C:\f.bin)"), "12345678");
  EXPECT_TRUE(WriteFile(h, "", 0, &done, nullptr));
  // Overwriting bytes already there needs no new space.
  SetFilePointer(h, 0, nullptr, FILE_BEGIN);
  EXPECT_TRUE(WriteFile(h, "ABCDEFGHIJ", 10, &done, nullptr));
  EXPECT_EQ(sim::FreeSpace('C'), 0u);
  CloseHandle(h);
  EXPECT_TRUE(DeleteFileA(R"(C:\f.bin)"));
  EXPECT_EQ(sim::FreeSpace('C'), 10u);
  // Where writes come up short, what fits is written and reported as success.
  sim::MakeWritesComeUpShort('C');
  h = Open(R"(C:\f.bin)", GENERIC_WRITE, 0, CREATE_NEW);
  EXPECT_TRUE(WriteFile(h, "123456789012", 12, &done, nullptr));
  EXPECT_EQ(done, 10u);
  EXPECT_EQ(sim::FileBytes(R"(C:\f.bin)"), "1234567890");
  EXPECT_TRUE(WriteFile(h, "x", 1, &done, nullptr));
  EXPECT_EQ(done, 0u);
  CloseHandle(h);
}

TEST_F(FilesTest, BadAndClosedHandlesFailAndAreCounted) {
  HANDLE h = Open(R"(C:\f.bin)", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(CloseHandle(h));
  DWORD done = 0;
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(WriteFile(h, "x", 1, &done, nullptr));
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(FindClose(nullptr));
  EXPECT_EQ(sim::CurrentLeaks().badHandles, 5);
  // A new open never gets the old value back.
  HANDLE again = Open(R"(C:\f.bin)", GENERIC_WRITE, 0);
  EXPECT_NE(again, h);
  CloseHandle(again);
}

}  // namespace
