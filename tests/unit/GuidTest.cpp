#include "platform/Guid.h"
#include "platform/Component.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Guid, TextFormRoundTripsAndKeepsTheBinaryLayout) {
    TGUID g = GuidFromString("{B3518672-0A64-4F6F-B482-4A018271965D}");
    const uint8_t expected[16] = {0x72, 0x86, 0x51, 0xB3, 0x64, 0x0A, 0x6F, 0x4F,
                                  0xB4, 0x82, 0x4A, 0x01, 0x82, 0x71, 0x96, 0x5D};
    EXPECT_EQ(0, memcmp(&g, expected, 16));
    EXPECT_EQ("{B3518672-0A64-4F6F-B482-4A018271965D}", GuidToString(g));
    TGUID lower;
    ASSERT_TRUE(StringToGuid("b3518672-0a64-4f6f-b482-4a018271965d", lower));
    EXPECT_EQ(g, lower);
}

TEST(Guid, MalformedTextIsRefused) {
    TGUID g = GuidFromString("{B3518672-0A64-4F6F-B482-4A018271965D}");
    for (const char* bad :
         {"", "{B3518672-0A64-4F6F-B482-4A018271965}", "B3518672X0A64-4F6F-B482-4A018271965D",
          "{G3518672-0A64-4F6F-B482-4A018271965D}"}) {
        TGUID out = g;
        EXPECT_FALSE(StringToGuid(bad, out)) << bad;
        EXPECT_EQ(g, out) << bad;
    }
    EXPECT_THROW(GuidFromString("nonsense"), std::invalid_argument);
    EXPECT_TRUE(IsNullGuid(TGUID{}));
}

namespace {
struct TCounted : TComponent {
    TCounted(TComponent* AOwner, int& ALive) : TComponent(AOwner), fLive(ALive) { ++fLive; }
    ~TCounted() override { --fLive; }
    int& fLive;
};
} // namespace

TEST(Component, OwnerDestroysWhatItOwnsAndForgetsWhatWasDestroyedFirst) {
    int live = 0;
    auto* owner = new TComponent(nullptr);
    auto* a = new TCounted(owner, live);
    new TCounted(a, live); // owned by a, destroyed with it
    auto* c = new TCounted(owner, live);
    EXPECT_EQ(3, live);
    delete c;
    EXPECT_EQ(1, owner->ComponentCount());
    delete owner;
    EXPECT_EQ(0, live);
}
