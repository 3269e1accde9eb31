// The fake sign-in service as a program, for the end-to-end test: prints "PORT <n>", then a
// line for every request, and serves until a signal ends it. Arguments: the verifier its start
// page hands the browser, and the "set-auth-jwt" lifetime in seconds.
#include <glib.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "auth/fake_auth_service.h"

int main(int argc, char** argv) {
  qs::testing::FakeAuthService service;
  service.print_requests = true;
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line reaches the runner as it is printed
  if (argc > 1) service.verifier = argv[1];
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  service.session_jwt =
      qs::testing::FakeAuthService::jwt(now + (argc > 2 ? std::stod(argv[2]) : 3600));
  service.check_jwt = qs::testing::FakeAuthService::jwt(std::nullopt);  // falls back to "token"
  std::printf("PORT %u\n", service.port());
  g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}
