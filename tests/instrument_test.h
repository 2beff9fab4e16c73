// A test that talks to one scripted instrument found by a search at its
// start (index 0). The library starts from its load-time state and is put
// back there afterwards; every device opened must have been closed.
#pragma once

#include <gtest/gtest.h>

#include "velmardll/library_state.h"
#include "device/test_seam.h"
#include "scripted_instrument.h"

namespace velmar::testing {

class InstrumentTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Search again with `count` instruments dds0..dds<count-1>.
    int32_t SearchWith(int count);
    ScriptedInstrument dds;
};

}  // namespace velmar::testing
