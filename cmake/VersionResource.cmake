# qmb_add_version_resource(<target> <description> [<program>])
#
# Gives a Windows executable a version resource made from the project
# version: product name qmb-edit, the project version as file and product
# version, <description> as the file description and <program>.exe (by
# default <target>.exe) as the original file name. Does nothing when not building for Windows, so a
# program built for both can call it unconditionally.
function(qmb_add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(QMB_RC_NAME ${target})
  if(ARGC GREATER 2)
    set(QMB_RC_NAME ${ARGV2})
  endif()
  set(QMB_RC_DESCRIPTION "${description}")
  if(QMB_RC_DESCRIPTION MATCHES "[\"\\\\]")
    message(FATAL_ERROR "qmb_add_version_resource: no quotes or backslashes in the description of ${target}")
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/res/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
