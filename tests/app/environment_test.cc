#include "app/environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace qs::app {
namespace {

TEST(EnvironmentTest, DevelopmentStoresMustBeUUIDs) {
  setenv("QUILLSTONE_DEV_STORE", "0F8FAD5B-D9CB-469F-A165-70867728950E", 1);
  EXPECT_EQ(developmentStore(), "0f8fad5b-d9cb-469f-a165-70867728950e");
  for (const char* bad :
       {"", "dev", "0f8fad5b-d9cb-469f-a165-70867728950", "0f8fad5bd9cb469fa16570867728950e",
        "0f8fad5b-d9cb-469f-a165-70867728950e0", "0f8fad5b-d9cb-469f-a165-7086772895zz"}) {
    setenv("QUILLSTONE_DEV_STORE", bad, 1);
    EXPECT_FALSE(developmentStore()) << bad;
  }
  unsetenv("QUILLSTONE_DEV_STORE");
  EXPECT_FALSE(developmentStore());
}

}  // namespace
}  // namespace qs::app
