# vt_add_resources(<target> [SUBSYSTEM console|windows]
#                  [RESOURCE <type> <id> <file>]...)
# Appends resources to the target's program file after every link, with the
# packaging tool (tools/vtpack). The target is linked again when a resource
# file changes.
function(vt_add_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "SUBSYSTEM" "RESOURCE")
  set(args)
  if(ARG_SUBSYSTEM)
    list(APPEND args --subsystem ${ARG_SUBSYSTEM})
  endif()
  list(LENGTH ARG_RESOURCE n)
  math(EXPR rem "${n} % 3")
  if(NOT rem EQUAL 0)
    message(FATAL_ERROR "vt_add_resources: RESOURCE takes <type> <id> <file>")
  endif()
  set(i 0)
  while(i LESS n)
    math(EXPR j "${i} + 1")
    math(EXPR k "${i} + 2")
    list(GET ARG_RESOURCE ${i} type)
    list(GET ARG_RESOURCE ${j} id)
    list(GET ARG_RESOURCE ${k} file)
    list(APPEND args --add ${type} ${id} ${file})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${file})
    math(EXPR i "${i} + 3")
  endwhile()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:vtpack> $<TARGET_FILE:${target}> ${args}
    COMMENT "Packaging resources into ${target}" VERBATIM)
  add_dependencies(${target} vtpack)
endfunction()
