// The desktop-service tests run inside a D-Bus session of their own, with nothing on it that
// could be started on demand: a Secret Service is there only when a test starts one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing |= std::string(argv[i]) == "--gtest_list_tests";
  if (!listing && !getenv("QS_TEST_PRIVATE_BUS")) {
    setenv("QS_TEST_PRIVATE_BUS", "1", 1);
    std::string config = std::string("--config-file=") + QS_TEST_BUS_CONFIG;
    std::vector<char*> args = {const_cast<char*>("dbus-run-session"), config.data(),
                               const_cast<char*>("--")};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::perror("dbus-run-session");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
