// Where the language choice is read from and stored: the user's settings
// folder first, the program folder's shipped file as the default.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "common/language.h"
#include "platform/program_folder.h"
#include "support/test_env.h"

using namespace qrv;
using qrv::test::Read_File;
using qrv::test::TTempDir;
using qrv::test::Write_File;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::string Text_Of(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "<none>";
    auto b = Read_File(path);
    return {b.begin(), b.end()};
}

class SettingsFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        ::mkdir(prog.File("Updata").c_str(), 0755);
        ::mkdir(prog.File("Updata/skin").c_str(), 0755);
        ::setenv("XDG_CONFIG_HOME", home.File("xdg").c_str(), 1);
        ::setenv("HOME", home.Path().c_str(), 1);
    }
    void TearDown() override {
        if (oldHome_) ::setenv("HOME", oldHome_->c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
        Set_Language(0);
        Set_LanguageId(LANGID_CHINESE);
        Set_LanguageTable(TLanguageTable());
    }
    std::string Shipped() const { return prog.File(LANGUAGE_SETTINGS_FILE); }

    TTempDir prog{"qrv-prog"};
    TTempDir home{"qrv-home"};

  private:
    std::optional<std::string> oldHome_ =
        std::getenv("HOME") ? std::optional<std::string>(std::getenv("HOME")) : std::nullopt;
};

} // namespace

TEST_F(SettingsFolder, FolderFollowsXdgConfigHomeElseHome) {
    EXPECT_EQ(Settings_Folder(), home.File("xdg") + "/qrv");
    ::setenv("XDG_CONFIG_HOME", "relative/config", 1); // not absolute: ignored
    EXPECT_EQ(Settings_Folder(), home.Path() + "/.config/qrv");
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(User_LanguageSettingsFile(), home.Path() + "/.config/qrv/Languages_set.ini");
}

// Each row: what exists before the switch to English, where "1\r\n" lands, and
// what the next start reads.
TEST_F(SettingsFolder, SwitchStoresWhereTheNextStartReads) {
    struct TCase {
        const char* name;
        const char* shipped; // program folder's file (nullptr: absent)
        mode_t shippedMode;
        const char* user; // user's file (nullptr: absent)
        bool stored;
        std::string shippedAfter, userAfter;
        int nextStart;
    };
    const TCase cases[] = {
        // A build folder: the file beside the program is written, no user file appears.
        {"writable default", "0\r\n", 0644, nullptr, true, "1\r\n", "<none>", 1},
        // An installed program: the read-only default stays, the user's file is made (also as root).
        {"read-only default", "0\r\n", 0444, nullptr, true, "0\r\n", "1\r\n", 1},
        // A user's file wins over the program folder, for reading and writing.
        {"user file present", "0\r\n", 0644, "0\r\n", true, "0\r\n", "1\r\n", 1},
        // No settings file at all: the choice is not kept.
        {"nothing shipped", nullptr, 0644, nullptr, false, "<none>", "<none>", 0},
    };
    const std::string user = home.File("xdg") + "/qrv/Languages_set.ini";
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(user.c_str());
        ::chmod(Shipped().c_str(), 0644);
        ::unlink(Shipped().c_str());
        if (c.shipped) {
            Write_File(Shipped(), Bytes(c.shipped));
            ::chmod(Shipped().c_str(), c.shippedMode);
        }
        if (c.user) {
            ::mkdir(home.File("xdg").c_str(), 0700);
            ::mkdir((home.File("xdg") + "/qrv").c_str(), 0700);
            Write_File(user, Bytes(c.user));
        }
        const TLanguageSwitch r = Program_LanguageSwitch(prog.Path(), 1);
        EXPECT_EQ(r.Stored, c.stored);
        EXPECT_EQ(r.Caption, "Set up success");
        EXPECT_EQ(Text_Of(Shipped()), c.shippedAfter);
        EXPECT_EQ(Text_Of(user), c.userAfter);
        EXPECT_EQ(Program_LanguageStart(prog.Path()), c.nextStart);
        // Back to Chinese goes to the same place.
        EXPECT_EQ(Program_LanguageSwitch(prog.Path(), 0).Stored, c.stored);
        EXPECT_EQ(Program_LanguageStart(prog.Path()), 0);
    }
    ::chmod(Shipped().c_str(), 0644);
}
