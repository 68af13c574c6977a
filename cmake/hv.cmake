# Warnings apply to our own targets only; third-party headers come in as SYSTEM.
set(HV_WARNINGS -Wall -Wextra -Werror -Wshadow -Wformat=2 -Wno-unused-parameter)
if(HV_FUZZ)
  # The fuzz build uses clang, whose warning set differs; the gcc builds keep warnings fatal.
  list(REMOVE_ITEM HV_WARNINGS -Werror)
endif()

# hv_library(name SOURCES ... LIBS ...): a static library rooted at the repository top.
function(hv_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${HV_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# hv_executable(name SOURCES ... LIBS ...)
function(hv_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${HV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()

# hv_test(name SOURCES ... LIBS ...): one GoogleTest binary, each test registered with CTest.
function(hv_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${HV_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  # Test names carry the binary name, so `ctest -R <binary>` selects one unit.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${name}."
                       PROPERTIES FIXTURES_REQUIRED hv_worktree)
endfunction()
