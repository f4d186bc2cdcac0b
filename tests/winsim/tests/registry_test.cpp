// The registry as the uninstaller meets it: creating and opening keys,
// access masks, reading values of unknown size, refused writes, deletion.
#include <cstring>

#include "tests/winsim/tests/helpers.h"

namespace {

using RegistryTest = SimTest;

const char kUninstall[] = R"(Software\Microsoft\Windows\CurrentVersion\Uninstall\Kalmaris 2001)";

TEST_F(RegistryTest, CreateKeyMakesEveryMissingComponentThenOpens) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstall, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                            &key, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, 1u);
  EXPECT_TRUE(sim::KeyExists(HKEY_LOCAL_MACHINE, R"(SOFTWARE\microsoft\Windows\CurrentVersion\Uninstall)"));
  HKEY again = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, R"(software\MICROSOFT\Windows\CurrentVersion\Uninstall\KALMARIS 2001)",
                            0, nullptr, 0, KEY_WRITE, nullptr, &again, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, 2u);
  EXPECT_NE(key, again);
  EXPECT_EQ(sim::SubkeyNames(HKEY_LOCAL_MACHINE, R"(Software\Microsoft\Windows\CurrentVersion\Uninstall)"),
            std::vector<std::string>{"Kalmaris 2001"});
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
  EXPECT_EQ(sim::CurrentLeaks().keys, 0);
}

TEST_F(RegistryTest, OpenKeyFindsExistingKeysWithoutRegardToCase) {
  sim::PutKey(HKEY_CURRENT_USER, R"(Software\Kalmaris)");
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, R"(SOFTWARE\kalmaris)", 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_NE(key, nullptr);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, R"(Software\Other)", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ValuesNeedTheRightAccessAndKeepTheirRawBytes) {
  sim::PutKey(HKEY_LOCAL_MACHINE, kUninstall);
  HKEY reader = nullptr;
  HKEY writer = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstall, 0, KEY_READ, &reader);
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstall, 0, KEY_SET_VALUE, &writer);
  const BYTE text[] = "Kalmaris 2001";  // stored without its zero
  EXPECT_EQ(RegSetValueExA(reader, "DisplayName", 0, REG_SZ, text, 13), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(writer, "DisplayName", 0, REG_SZ, text, 13), ERROR_SUCCESS);
  EXPECT_EQ(sim::GetValue(HKEY_LOCAL_MACHINE, kUninstall, "displayname").data, "Kalmaris 2001");
  DWORD size = 64;
  BYTE buffer[64];
  EXPECT_EQ(RegQueryValueExA(writer, "DisplayName", nullptr, nullptr, buffer, &size), ERROR_ACCESS_DENIED);
  RegCloseKey(reader);
  RegCloseKey(writer);
}

struct QueryCase {
  bool giveBuffer;
  DWORD room;
  LSTATUS status;
  DWORD sizeAfter;
  bool copied;
};

TEST_F(RegistryTest, QueryReportsSizesAndMoreData) {
  sim::PutValue(HKEY_LOCAL_MACHINE, "K", "Path", REG_EXPAND_SZ, std::string("abc\0", 4));
  sim::PutValue(HKEY_LOCAL_MACHINE, "K", "Raw", REG_SZ, "xyz");  // no terminating zero
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "k", 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  const QueryCase cases[] = {
      {false, 0, ERROR_SUCCESS, 4, false}, {true, 3, ERROR_MORE_DATA, 4, false}, {true, 0, ERROR_MORE_DATA, 4, false},
      {true, 4, ERROR_SUCCESS, 4, true},   {true, 10, ERROR_SUCCESS, 4, true},
  };
  for (const QueryCase& c : cases) {
    BYTE buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    DWORD type = 0;
    DWORD size = c.room;
    LSTATUS status = RegQueryValueExA(key, "PATH", nullptr, &type, c.giveBuffer ? buffer : nullptr, &size);
    EXPECT_EQ(status, c.status) << c.room;
    EXPECT_EQ(size, c.sizeAfter) << c.room;
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ)) << c.room;
    EXPECT_EQ(std::memcmp(buffer, c.copied ? "abc\0" : "####", 4), 0) << c.room;
  }
  BYTE buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "Raw", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(buffer[3], '#');  // nothing is added to what was stored
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, buffer, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeniedRootsRefuseCreatingAndWritingButAllowReading) {
  sim::PutString(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)", "Version", "1.0");
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)", 0, KEY_WRITE, &opened), ERROR_SUCCESS);
  sim::DenyWrites(HKEY_LOCAL_MACHINE);
  HKEY key = nullptr;
  struct {
    const char* subKey;
    REGSAM access;
    bool create;
    LSTATUS status;
  } const cases[] = {
      {R"(Software\New)", KEY_WRITE, true, ERROR_ACCESS_DENIED},
      {R"(Software\New)", KEY_READ, true, ERROR_ACCESS_DENIED},
      {R"(Software\Kalmaris)", KEY_WRITE, true, ERROR_ACCESS_DENIED},
      {R"(Software\Kalmaris)", KEY_READ, true, ERROR_SUCCESS},
      {R"(Software\Kalmaris)", KEY_WRITE, false, ERROR_ACCESS_DENIED},
      {R"(Software\Kalmaris)", KEY_READ, false, ERROR_SUCCESS},
  };
  for (const auto& c : cases) {
    LSTATUS status =
        c.create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, c.subKey, 0, nullptr, 0, c.access, nullptr, &key, nullptr)
                 : RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.subKey, 0, c.access, &key);
    EXPECT_EQ(status, c.status) << c.subKey << (c.create ? " create " : " open ") << c.access;
    if (status == ERROR_SUCCESS) RegCloseKey(key);
  }
  EXPECT_FALSE(sim::KeyExists(HKEY_LOCAL_MACHINE, R"(Software\New)"));
  const BYTE data[] = "2.0";
  EXPECT_EQ(RegSetValueExA(opened, "Version", 0, REG_SZ, data, 4), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)"), ERROR_ACCESS_DENIED);
  RegCloseKey(opened);
  // The other root is unaffected.
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryTest, DeleteKeyRemovesOnlyLeaves) {
  sim::PutKey(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris\2001)");
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, R"(Software\Missing)"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)"), ERROR_ACCESS_DENIED);
  HKEY open = nullptr;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris\2001)", 0, KEY_READ, &open);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, R"(software\kalmaris\2001)"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)"), ERROR_SUCCESS);
  EXPECT_FALSE(sim::KeyExists(HKEY_LOCAL_MACHINE, R"(Software\Kalmaris)"));
  // A handle to a deleted key stays a handle, but the key is gone.
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(open, "x", nullptr, nullptr, nullptr, &size), 1018);  // ERROR_KEY_DELETED
  EXPECT_EQ(RegCloseKey(open), ERROR_SUCCESS);
}

TEST_F(RegistryTest, ClosingBadKeysIsCountedButRootsNeedNoClosing) {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "A", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(sim::CurrentLeaks().badHandles, 1);
  HKEY next = nullptr;
  RegOpenKeyExA(HKEY_CURRENT_USER, "A", 0, KEY_READ, &next);
  EXPECT_NE(next, key);
  EXPECT_EQ(sim::CurrentLeaks().keys, 1);
  RegCloseKey(next);
}

TEST_F(RegistryTest, ValuesSitUnderRelativeSubkeysOfOpenHandles) {
  HKEY software = nullptr;
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software", 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &software, nullptr);
  HKEY app = nullptr;
  ASSERT_EQ(
      RegCreateKeyExA(software, R"(Kalmaris\Settings)", 0, nullptr, 0, KEY_WRITE | KEY_READ, nullptr, &app, nullptr),
      ERROR_SUCCESS);
  const BYTE one[4] = {1, 0, 0, 0};
  ASSERT_EQ(RegSetValueExA(app, "Runs", 0, REG_DWORD, one, 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(app, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2), ERROR_SUCCESS);
  EXPECT_EQ(sim::ValueNames(HKEY_CURRENT_USER, R"(Software\Kalmaris\Settings)"),
            (std::vector<std::string>{"Runs", ""}));
  EXPECT_EQ(sim::GetValue(HKEY_CURRENT_USER, R"(Software\Kalmaris\Settings)", "runs").type,
            static_cast<DWORD>(REG_DWORD));
  RegCloseKey(app);
  RegCloseKey(software);
}

}  // namespace
