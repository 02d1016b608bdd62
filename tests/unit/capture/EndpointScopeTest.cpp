#include "capture/EndpointScope.h"

#include <gtest/gtest.h>

namespace kavo {
namespace {

TEST(EndpointScope, DescribesEachScopeInTheWordsOfLogsAndEvents) {
    EXPECT_EQ(EndpointScope::microphone.description(), "microphone");
    EXPECT_EQ(EndpointScope::systemAudio.description(), "systemAudio");
    EXPECT_EQ((EndpointScope{EndpointScope::microphone, EndpointScope::systemAudio}).description(), "both");
    EXPECT_EQ(EndpointScope{}.description(), "none");
    EXPECT_EQ(EndpointScope{4}.description(), "none");
    EXPECT_EQ(EndpointScope{7}.description(), "none");
    EXPECT_EQ(EndpointScope{-1}.description(), "none");
}

TEST(EndpointScope, IsAPlainBitSet) {
    const EndpointScope mic = EndpointScope::microphone;
    const EndpointScope system = EndpointScope::systemAudio;
    const EndpointScope both{mic, system};
    EXPECT_EQ(both.rawValue(), 3);
    EXPECT_EQ((EndpointScope{mic, mic}).rawValue(), 1);
    EXPECT_EQ((mic | system), both);
    EXPECT_EQ((both & system), system);
    EXPECT_EQ((both ^ mic), system);
    EXPECT_EQ(both.subtracting(system), mic);
    EXPECT_TRUE(both.contains(mic));
    EXPECT_FALSE(mic.contains(both));
    EXPECT_TRUE(EndpointScope{}.isEmpty());
    EXPECT_TRUE((mic & system).isEmpty());
    EndpointScope growing;
    growing |= system;
    growing |= system;
    EXPECT_EQ(growing, system);
}

}  // namespace
}  // namespace kavo
