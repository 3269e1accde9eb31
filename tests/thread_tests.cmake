# The tests of everything that runs on more than one thread (the library and its lock, the folder
# watch and its reader thread, the host log, the search index, the bridge's background replies,
# the assistant's exchange), built with ThreadSanitizer: any report fails the test
# (TSAN_OPTIONS halt_on_error, set by scripts/test). Tests that fork to kill a writer are left out:
# ThreadSanitizer doesn't follow a multithreaded fork.
set(QS_THREAD_TEST_SOURCES
    library/external_changes_test.cc library/file_coordinator_test.cc library/folder_watch_test.cc
    library/images_test.cc library/inotify_watcher_test.cc library/library_test.cc
    core/host_log_test.cc bridge/host_messages_test.cc bridge/page_calls_test.cc
    claude/claude_bridge_test.cc preview/search_index_test.cc
    core/guarded_test.cc)
add_executable(quillstone_thread_tests ${QS_THREAD_TEST_SOURCES})
target_include_directories(quillstone_thread_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(quillstone_thread_tests PRIVATE ${QS_WARNINGS})
quillstone_precompile(quillstone_thread_tests <gtest/gtest.h>)
target_link_libraries(quillstone_thread_tests PRIVATE quillstone_core GTest::gtest
                      GTest::gtest_main GTest::gmock)
gtest_discover_tests(quillstone_thread_tests DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)
