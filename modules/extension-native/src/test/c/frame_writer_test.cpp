// The answer frame as a browser receives it: an answer the browser would refuse (over 1 MiB) goes
// out as error 99 instead, one at the bound goes out whole.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "extension_io.h"

namespace {

// What extension_write_response puts on standard output for data.
std::string written_frame(const std::string& data) {
    std::FILE* sink = std::tmpfile();
    EXPECT_NE(sink, nullptr);
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(sink), STDOUT_FILENO);
    extension_write_response(data.c_str());
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string frame;
    std::rewind(sink);
    char chunk[65536];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, sink)) > 0;) frame.append(chunk, n);
    std::fclose(sink);
    return frame;
}

uint32_t length_prefix(const std::string& frame) {
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(frame[static_cast<size_t>(i)]);
    return length;
}

std::string answer_of(size_t size) {
    const std::string member = R"({"data":")";
    return member + std::string(size - member.size() - 2, 'A') + R"("})";
}

}  // namespace

TEST(FrameWriter, AnAnswerOverTheBrowsersBoundBecomesAnErrorFrame) {
    const std::string atBound = written_frame(answer_of(EXTENSION_MAX_RESPONSE));
    ASSERT_EQ(atBound.size(), 4 + size_t{EXTENSION_MAX_RESPONSE});
    EXPECT_EQ(length_prefix(atBound), EXTENSION_MAX_RESPONSE);

    const std::string over = written_frame(answer_of(EXTENSION_MAX_RESPONSE + 1));
    ASSERT_GT(over.size(), 4u);
    ASSERT_EQ(length_prefix(over), over.size() - 4);
    const auto answer = nlohmann::json::parse(over.substr(4));
    EXPECT_EQ(answer["error"]["code"], 99);
    EXPECT_EQ(answer["error"]["message"], "Response of 1048577 bytes exceeds the maximum of 1048576 bytes");
}
