// The work-area reader against forged property replies: it reads no value past the reply's end.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "x_work_area.h"

using OnScreenPad::WorkAreaOfReply;

namespace {

// A _NET_WORKAREA reply holding the given 32-bit values, its value_len set apart; on the heap and
// exactly as long as the reply says, as xcb hands it over, so that ASan sees a read past its end.
struct ForgedReply {
    ForgedReply(const std::vector<uint32_t>& values, uint32_t valueLength) : bytes(new uint32_t[8 + values.size()]) {
        xcb_get_property_reply_t head{};
        head.response_type = 1;
        head.format = 32;
        head.type = XCB_ATOM_CARDINAL;
        head.length = static_cast<uint32_t>(values.size());
        head.value_len = valueLength;
        std::memcpy(bytes.get(), &head, sizeof head);
        if (!values.empty()) std::memcpy(bytes.get() + 8, values.data(), values.size() * 4);
    }
    const xcb_get_property_reply_t& reply() const {
        return *reinterpret_cast<const xcb_get_property_reply_t*>(bytes.get());
    }
    std::unique_ptr<uint32_t[]> bytes;
};

}  // namespace

TEST(XWorkArea, TheReplyLengthBoundsTheValuesRead) {
    const auto area = WorkAreaOfReply(ForgedReply({0, 24, 1280, 696}, 4).reply());
    ASSERT_TRUE(area.has_value());
    EXPECT_EQ(area->width, 1280);
    EXPECT_EQ(area->height, 696);
    // Several desktops: the first one's.
    EXPECT_EQ(WorkAreaOfReply(ForgedReply({0, 0, 800, 480, 0, 0, 1024, 768}, 8).reply())->width, 800);
    // A hostile server: value_len claims four values, the reply holds fewer or none.
    EXPECT_FALSE(WorkAreaOfReply(ForgedReply({0, 24}, 4).reply()).has_value());
    EXPECT_FALSE(WorkAreaOfReply(ForgedReply({}, 4).reply()).has_value());
    EXPECT_FALSE(WorkAreaOfReply(ForgedReply({0, 24, 1280, 696}, 2).reply()).has_value());
    EXPECT_FALSE(WorkAreaOfReply(ForgedReply({0, 24, 0, 696}, 4).reply()).has_value());
}
