#include <gtest/gtest.h>

#include "log.h"

TEST(Log, BaseNameTakesTheLastSeparatorOfEitherKind) {
    EXPECT_STREQ(log_base_name("modules/utils/src/main/c/log.cpp"), "log.cpp");
    EXPECT_STREQ(log_base_name("C:\\src\\main.cpp"), "main.cpp");
    EXPECT_STREQ(log_base_name("main.cpp"), "main.cpp");
}

TEST(Log, GatedLinesFollowTheDebugSwitchTaggedLinesDoNot) {
    testing::internal::CaptureStderr();
    debug_enabled.store(false);
    log_write("a/b/file.cpp", 7, "hidden %d", 1);
    log_write_tagged("UTILS", "x/utils.cpp", 12, "void Utils::BaseDispatchLoop::invoke(std::function<void()>)", "shown %s",
                     "always");
    debug_enabled.store(true);
    log_write("a/b/file.cpp", 8, "visible %d", 2);
    debug_enabled.store(false);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "[UTILS] (utils.cpp 12 Utils::BaseDispatchLoop::invoke) shown always\n"
              "[PLUGIN-NATIVE-DEBUG] (file.cpp 8 ) visible 2\n");
}

TEST(Log, MaskHidesPinAndTokenValuesOnly) {
    EXPECT_EQ(log_mask_secrets(R"({"cmd":"VERIFY_PIN","pin":"1234","reader":"R"})"),
              R"({"cmd":"VERIFY_PIN","pin":"***","reader":"R"})");
    EXPECT_EQ(log_mask_secrets(R"({"pinToken" : "AAAA\"BB==", "pin":1234})"), R"({"pinToken" : "***", "pin":***})");
    // A value that reads "pin" is not a member name; a member merely starting with pin is not a secret.
    EXPECT_EQ(log_mask_secrets(R"({"a":"pin","pinpad":"x"})"), R"({"a":"pin","pinpad":"x"})");
    // Unterminated texts are still masked to their end.
    EXPECT_EQ(log_mask_secrets(R"({"pin":"12)"), R"({"pin":"***")");
    EXPECT_EQ(log_mask_secrets(""), "");
}
