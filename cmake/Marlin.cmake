# marlin_component(NAME [STATIC|SHARED] LIBS ...)
# One library per folder, built from every .cpp/.c file in it.
function(marlin_component name)
  cmake_parse_arguments(ARG "SHARED;INTERFACE" "" "LIBS;SOURCES" ${ARGN})
  if(NOT ARG_INTERFACE AND NOT ARG_SOURCES)
    file(GLOB found CONFIGURE_DEPENDS
      ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
    if(NOT found)
      set(ARG_INTERFACE ON)  # header-only so far
    endif()
  endif()
  if(ARG_INTERFACE)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
    return()
  endif()
  if(ARG_SOURCES)
    set(srcs ${ARG_SOURCES})
  else()
    file(GLOB srcs CONFIGURE_DEPENDS
      ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  endif()
  if(ARG_SHARED)
    add_library(${name} SHARED ${srcs})
  else()
    add_library(${name} STATIC ${srcs})
  endif()
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# The test binaries of the host's own threads (pipe, dialog, engine, window,
# the whole host and its faults): CI runs them under ThreadSanitizer as the
# label "tsan-sample" (make test-tsan-sample), the full suite being too long
# for it a second time.
set(MARLIN_TSAN_SAMPLE
  pipe_tests ui_tests app_frame_tests host_e2e_tests
  playback_renderer_tests playback_engine_tests reliability_tests)

# marlin_test(NAME SOURCES ... LIBS ... [SERIAL filter]): one GoogleTest
# binary, each test registered with ctest. Tests run with the binary folder
# as working directory, where marlin-host and LAVFilters/ lie. The tests that
# SERIAL matches (a GoogleTest filter) load the whole machine by design and
# run with no other test beside them, whose time bounds they would break.
function(marlin_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT;SERIAL" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    MARLIN_BIN_DIR="${MARLIN_BIN_DIR}"
    MARLIN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set(properties TIMEOUT ${ARG_TIMEOUT})
  if(name IN_LIST MARLIN_TSAN_SAMPLE)
    list(APPEND properties LABELS tsan-sample)
  endif()
  if(ARG_SERIAL)
    gtest_discover_tests(${name}
      WORKING_DIRECTORY ${MARLIN_BIN_DIR}
      DISCOVERY_TIMEOUT 60
      TEST_FILTER "-${ARG_SERIAL}"
      PROPERTIES ${properties})
    gtest_discover_tests(${name}
      WORKING_DIRECTORY ${MARLIN_BIN_DIR}
      DISCOVERY_TIMEOUT 60
      TEST_FILTER "${ARG_SERIAL}"
      PROPERTIES ${properties} RUN_SERIAL TRUE)
  else()
    gtest_discover_tests(${name}
      WORKING_DIRECTORY ${MARLIN_BIN_DIR}
      DISCOVERY_TIMEOUT 60
      PROPERTIES ${properties})
  endif()
endfunction()
