# vbx_subsystem_library(NAME [EXCLUDE regex] [SOURCES file...] DEPS lib...)
#
# One static library per subsystem folder, made of every .cpp file of the
# folder (a new file is picked up without editing this list) but those the
# EXCLUDE pattern matches. With SOURCES the library is just those files of
# the folder: a small library that a folder lends to a lower layer. A folder
# that has no sources yet gives an interface library, so that dependants link.
function(vbx_subsystem_library name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    list(TRANSFORM ARG_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  endif()
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# vbx_test_folder(NAME [SERIAL] [SESSION_BUS] [INCLUDE regex] [EXCLUDE regex] [EXTRA file...] LIBS lib...)
#
# One GoogleTest executable per folder under tests/, made of every .cpp file
# there (or those INCLUDE matches, less those EXCLUDE matches) and the EXTRA
# files, registered with CTest test by test. SERIAL tests run while no other
# test runs. SESSION_BUS starts each test process under dbus-run-session: a
# D-Bus session bus of its own, ended with it, as a desktop session has.
function(vbx_test_folder name)
  cmake_parse_arguments(ARG "SERIAL;SESSION_BUS" "INCLUDE;EXCLUDE" "LIBS;EXTRA" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(ARG_INCLUDE)
    list(FILTER sources INCLUDE REGEX "${ARG_INCLUDE}")
  endif()
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources} ${ARG_EXTRA})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} vbx_testsupport GTest::gmock GTest::gtest_main)
  # A unity build pastes the test files together: GCC then takes each
  # file's anonymous namespace for one of an included header and warns.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${name} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wno-subobject-linkage>)
  endif()
  if(ARG_SESSION_BUS)
    find_program(VBX_DBUS_RUN_SESSION dbus-run-session REQUIRED)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "${VBX_DBUS_RUN_SESSION};--")
  endif()
  set(serial)
  if(ARG_SERIAL)
    set(serial RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${name}."
    PROPERTIES ENVIRONMENT "VBX_BIN_DIR=${CMAKE_BINARY_DIR}/bin;VBX_SOURCE_DIR=${CMAKE_SOURCE_DIR}" ${serial})
endfunction()

# vbx_sanitizer_defaults(DIR)
#
# Gives every program defined under DIR (tests, tools, the program and the
# bridge) the sanitizer options of cmake/SanitizerDefaults.c.in: the
# project's suppression files, wherever the program is started from.
function(vbx_sanitizer_defaults dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_sources(${target} PRIVATE ${PROJECT_BINARY_DIR}/generated/SanitizerDefaults.c)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    vbx_sanitizer_defaults(${subdir})
  endforeach()
endfunction()
