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
    log_write_tagged("UTILS", "x/utils.cpp", 12, "void Utils::BaseDispatchLoop::invoke(std::function<void()>)",
                     "shown %s", "always");
    debug_enabled.store(true);
    log_write("a/b/file.cpp", 8, "visible %d", 2);
    debug_enabled.store(false);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "[UTILS] (utils.cpp 12 Utils::BaseDispatchLoop::invoke) shown always\n"
              "[PLUGIN-NATIVE-DEBUG] (file.cpp 8 ) visible 2\n");
}

TEST(Log, AGatedLineThatIsNotWrittenBuildsNoArgument) {
    int built = 0;
    const auto argument = [&built] {
        ++built;
        return "masked text";
    };
    testing::internal::CaptureStderr();
    debug_enabled.store(false);
    LOG_DEBUG("request [%s]", argument());
    debug_enabled.store(true);
    LOG_DEBUG("request [%s]", argument());
    debug_enabled.store(false);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("request [masked text]"), std::string::npos);
    EXPECT_EQ(built, 1);
}
