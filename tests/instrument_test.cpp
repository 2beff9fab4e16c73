#include "instrument_test.h"

#include "VelmarDll.h"

namespace velmar::testing {

void InstrumentTest::SetUp() {
    test_seam::ResetLibraryState();
    test_seam::UsePlatform(&dds);
    dds.on_violation = [](const std::string& rule) { ADD_FAILURE() << rule; };
    ASSERT_EQ(SearchWith(1), 1);
}

void InstrumentTest::TearDown() {
    EXPECT_EQ(dds.open_handles, 0) << "a device was left open";
    test_seam::UsePlatform(nullptr);
    test_seam::ResetLibraryState();
}

int32_t InstrumentTest::SearchWith(int count) {
    dds.paths.clear();
    for (int i = 0; i < count; ++i) dds.paths.push_back("dds" + std::to_string(i));
    const int32_t found = DDSSearch();
    dds.messages.clear();
    dds.opened.clear();
    return found;
}

}  // namespace velmar::testing
