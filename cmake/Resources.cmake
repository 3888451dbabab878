# Resources compiled into modules by the project's resource compiler
# (tools/rescomp).
#
# add_resources(TARGET SOURCES a.rc [b.rc ...] [INCLUDE_DIRS dir ...])
#   Compiles the scripts at build time into one C++ source file that is added
#   to TARGET (a shared library or an executable: a static library would let
#   the linker drop the registration). The resources then belong to the module
#   TARGET builds and are found with FindResourceExW, LoadStringW and friends.
#   The compiler reruns when a script, a header it includes, a file it embeds,
#   the predefined style names or the compiler itself change. TARGET is linked
#   PRIVATE to platform_resources, so its other target_link_libraries calls
#   must use the keyword form too.
#
# SIGNLIB_ERROR_RC: the library's error-text string table (ids 500-545 in
# 1028, 1033 and 2052), for the deliverables and tests that show those texts.
# SIGNLIB_DIALOG_RC: the library's dialog templates (104-107, 113) and their
# string tables in the same three languages, for every module that opens the
# library's dialogs.

set(SIGNLIB_ERROR_RC ${CMAKE_SOURCE_DIR}/resources/signlib/errors.rc)
set(SIGNLIB_DIALOG_RC ${CMAKE_SOURCE_DIR}/resources/signlib/dialogs.rc ${CMAKE_SOURCE_DIR}/resources/signlib/strings.rc)
# PROTINPUT_RC: the protected-input dialogs (107, 201-204), their string
# tables (1028, 1033) and the PIN pads' digit keys (bitmaps 3030-3039, drawn
# at build time: a module that lists these also depends on protinput_padkeys).
set(PROTINPUT_RC ${CMAKE_SOURCE_DIR}/resources/protinput/dialogs.rc ${CMAKE_SOURCE_DIR}/resources/protinput/strings.rc
    ${CMAKE_BINARY_DIR}/resources/protinput/padkeys.rc)
# HALDRIN_CARDLOGIN_RC: the signature control's card login dialog (102) and
# its strings (107-109, 2509) in 1028 and 1033, for that deliverable and its tests.
set(HALDRIN_CARDLOGIN_RC ${CMAKE_SOURCE_DIR}/resources/haldrin/cardlogin.rc)
set(RESCOMP_PREDEFINE ${CMAKE_SOURCE_DIR}/tools/rescomp/resdefs.h)

function(add_resources target)
  cmake_parse_arguments(R "" "" "SOURCES;INCLUDE_DIRS" ${ARGN})
  if(NOT R_SOURCES)
    message(FATAL_ERROR "add_resources(${target}): no SOURCES")
  endif()
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "STATIC_LIBRARY" OR kind STREQUAL "INTERFACE_LIBRARY")
    message(FATAL_ERROR "add_resources(${target}): resources belong in a shared library, module or executable")
  endif()

  # One generated file per call, so a target may call this more than once.
  get_target_property(count ${target} RESCOMP_CALLS)
  if(NOT count)
    set(count 0)
  endif()
  math(EXPR count "${count} + 1")
  set_target_properties(${target} PROPERTIES RESCOMP_CALLS ${count})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources_${count}.cpp)

  set(sources)
  foreach(src ${R_SOURCES})
    get_filename_component(abs ${src} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND sources ${abs})
  endforeach()
  set(includes)
  foreach(dir ${R_INCLUDE_DIRS})
    get_filename_component(abs ${dir} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(APPEND includes -I ${abs})
  endforeach()

  add_custom_command(
    OUTPUT ${out}
    COMMAND rescomp --predefine ${RESCOMP_PREDEFINE} ${includes} --depfile ${out}.d -o ${out} ${sources}
    DEPENDS rescomp ${sources} ${RESCOMP_PREDEFINE}
    DEPFILE ${out}.d
    COMMENT "Compiling resources of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
  target_link_libraries(${target} PRIVATE platform_resources)
endfunction()
