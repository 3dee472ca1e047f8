# tarvik_library(<name> <dependencies>...): the library of one source folder, built from the
# folder's *.cpp files.
function(tarvik_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARGN})
endfunction()

# tarvik_test_suite(<folder> [TIMEOUT seconds]): <folder>_tests from tests/<folder>/*.cpp,
# linked with tarvik_<folder>; every test case is registered with ctest on its own.
function(tarvik_test_suite folder)
  cmake_parse_arguments(arg "" "TIMEOUT" "" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 120)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${folder}_tests ${sources})
  target_link_libraries(${folder}_tests PRIVATE tarvik_${folder} GTest::gtest GTest::gmock
                                                GTest::gtest_main)
  target_compile_definitions(${folder}_tests PRIVATE TARVIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                                     TARVIK_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${folder}_tests PROPERTIES TIMEOUT ${arg_TIMEOUT} DISCOVERY_TIMEOUT 60)
endfunction()
