// Private profile files and the application's module name.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "kernel32/user_process.h"
#include "scratch_machine.h"

namespace {

class ProfileTest : public testing_support::ScratchMachineTest {
 protected:
  std::string Profile() { return ReadFile((windowsDirectory_ / "quillprog.INI").string()); }
};

TEST_F(ProfileTest, EditsKeepTheRestOfTheFile) {
  const std::string path = (windowsDirectory_ / "quillprog.INI").string();
  {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs(
        "; kept\r\n[Settings]\r\nMode=1\r\n\r\n[default files]\r\nflash file=old.hex\r\n"
        "Other=x\r\n",
        file);
    std::fclose(file);
  }
  struct Step {
    const char* section;
    const char* key;
    const char* value;
    const char* expected;
  };
  const Step steps[] = {
      // sections and keys match without regard to case; the value is replaced in place
      {"Default Files", "Flash File", "new.hex",
       "; kept\r\n[Settings]\r\nMode=1\r\n\r\n[default files]\r\nFlash File=new.hex\r\n"
       "Other=x\r\n"},
      // a new key goes after the section's last entry, before the blank line
      {"Settings", "Speed", "2",
       "; kept\r\n[Settings]\r\nMode=1\r\nSpeed=2\r\n\r\n[default files]\r\n"
       "Flash File=new.hex\r\nOther=x\r\n"},
      // a NULL string deletes the key
      {"Settings", "Mode", nullptr,
       "; kept\r\n[Settings]\r\nSpeed=2\r\n\r\n[default files]\r\nFlash File=new.hex\r\n"
       "Other=x\r\n"},
      // a NULL key deletes the whole section
      {"DEFAULT FILES", nullptr, nullptr, "; kept\r\n[Settings]\r\nSpeed=2\r\n\r\n"},
      // a new section is appended
      {"New", "A", "b", "; kept\r\n[Settings]\r\nSpeed=2\r\n\r\n[New]\r\nA=b\r\n"},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(WritePrivateProfileStringA(step.section, step.key, step.value, "quillprog.INI"));
    EXPECT_EQ(Profile(), step.expected) << step.section << " " << (step.key ? step.key : "-");
  }
}

TEST_F(ProfileTest, AFolderThatDoesNotExistFails) {
  const std::string missing = (scratch_ / "nowhere" / "x.ini").string();
  SetLastError(ERROR_SUCCESS);
  EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", missing.c_str()));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_PATH_NOT_FOUND});
  EXPECT_FALSE(std::filesystem::exists(missing));
}

class ModuleTest : public ::testing::Test {
 protected:
  void TearDown() override { winsim::kernel32::SetModulePath({}); }
};

TEST_F(ModuleTest, TheApplicationIsQuillprogInItsProgramFolder) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(NULL, path, sizeof(path));
  EXPECT_STREQ(path, "C:\\Program Files\\Q417\\quillprog.exe");
  EXPECT_EQ(length, strlen(path));
  EXPECT_EQ(GetModuleHandleA(NULL), GetModuleHandleA("QUILLPROG.EXE"));
  char again[MAX_PATH];
  EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA("quillprog"), again, sizeof(again)), length);
}

TEST_F(ModuleTest, ASmallBufferGetsATruncatedUnterminatedName) {
  winsim::kernel32::SetModulePath("C:\\Q\\app.exe");  // 12 characters
  struct Case {
    DWORD size;
    DWORD result;
    const char* expected;  // the buffer's first bytes
  };
  const Case cases[] = {{13, 12, "C:\\Q\\app.exe"}, {12, 12, "C:\\Q\\app.exe"}, {5, 5, "C:\\Q\\"}};
  for (const Case& c : cases) {
    char buffer[16];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(GetModuleFileNameA(NULL, buffer, c.size), c.result) << c.size;
    EXPECT_EQ(std::string(buffer, strlen(c.expected)), c.expected);
    EXPECT_EQ(buffer[c.size == 13 ? 12 : c.size], c.size == 13 ? '\0' : '#') << c.size;
  }
}

TEST_F(ModuleTest, OtherModulesAreNotLoaded) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(GetModuleHandleA("user32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
}

}  // namespace
