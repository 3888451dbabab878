# Warnings and sanitizer flags for every target of the project. All of -Wall
# and -Wextra is on; a parameter that an interface has and a body does not
# use is left unnamed (or its name commented out).
add_compile_options(-Wall -Wextra)
if(SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Adds every CMakeLists.txt found one level below DIR, in name order.
function(add_child_dirs dir)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${dir} ${dir}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${dir}/${child} AND EXISTS ${dir}/${child}/CMakeLists.txt)
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# project_gtest(NAME SOURCES ... LIBS ...): a GoogleTest binary whose tests are
# registered one by one with CTest. Tests run with a throwaway platform root.
function(project_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} testsupport GTest::gtest GTest::gtest_main)
  include(GoogleTest)
  # TEST_DATA_DIR, BUILD_DIR and SOURCE_DIR are set by testsupport itself
  # (compiled in), so tests see them under ctest and when run by hand.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endfunction()

# The thread sanitizer cannot share a build with the address sanitizer:
# scripts/test makes a third, small build with it for the many-threads tests.
option(SANITIZE_THREAD "Build with the thread sanitizer" OFF)
if(SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
