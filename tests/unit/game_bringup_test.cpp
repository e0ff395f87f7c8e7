// Bring-up on the fake platform with stub entry points: the system-info
// block's flag bytes and the "core" message's escaping and bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/game_bringup.h"
#include "host/host_state.h"
#include "parent_view.h"

namespace {

retro_system_info stub_info;
unsigned stub_api_version = 1;

void stub_get_system_info(retro_system_info *info) { *info = stub_info; }
unsigned stub_api(void) { return stub_api_version; }
void stub_nothing(void) {}
void stub_port(unsigned, unsigned) {}
uint8_t stub_accept(const retro_game_info *) { return 1; }
void stub_av(retro_system_av_info *) {}

class GameBringUp : public ::testing::Test {
protected:
    void SetUp() override {
        reset_fake_host();
        stub_info = {};
        stub_api_version = 1;
        use_command_line();
        entry = {stub_port, stub_nothing, stub_nothing, stub_api, stub_get_system_info, stub_av, stub_accept};
    }

    void use_command_line() {
        content_path = path;
        argument_vector = arguments;
        argument_count = 7;
    }

    std::string core_message() {
        bring_up_game(&entry);
        std::vector<std::string> statuses = status_messages();
        for (const std::string &status : statuses)
            if (status.rfind("{\"state\":\"core\"", 0) == 0) return status;
        ADD_FAILURE() << "no core message";
        return "";
    }

    char path[16] = "game.bin";
    char *arguments[8] = {path, path, path, path, path, path, path, nullptr};
    core_entry_points entry;
};

TEST_F(GameBringUp, AnyNonZeroFlagByteIsReportedAsOne) {
    stub_info.need_fullpath = 2;
    stub_info.block_extract = 0x80;
    bring_up_game(&entry);
    std::vector<std::string> lines = diagnostic_lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "need_fullpath=1 block_extract=1"), lines.end());
}

TEST_F(GameBringUp, QuotesAndBackslashesInTheCoreNameAndVersionAreEscaped) {
    stub_info.library_name = "Pro\"be";
    stub_info.library_version = "v\\2";
    stub_api_version = 7;
    EXPECT_EQ(core_message(), "{\"state\":\"core\",\"message\":\"Pro\\\"be v\\\\2 \xC2\xB7 API 7\"}");
}

TEST_F(GameBringUp, ALongNameKeepsItsFirst403BytesAndAQuoteAtTheCutStaysWhole) {
    std::string name(500, 'n');
    stub_info.library_name = name.c_str();
    std::string message = core_message();
    EXPECT_EQ(message, "{\"state\":\"core\",\"message\":\"" + std::string(403, 'n') + " \xC2\xB7 API 1\"}");

    reset_fake_host();
    use_command_line();
    name[402] = '"';
    stub_info.library_name = name.c_str();
    message = core_message();
    EXPECT_EQ(message, "{\"state\":\"core\",\"message\":\"" + std::string(402, 'n') + "\\\" \xC2\xB7 API 1\"}");
}

TEST_F(GameBringUp, NullNameReadsLibretroAndAnEmptyVersionIsLeftOut) {
    stub_info.library_version = "";
    EXPECT_EQ(core_message(), "{\"state\":\"core\",\"message\":\"Libretro \xC2\xB7 API 1\"}");
}

}  // namespace
