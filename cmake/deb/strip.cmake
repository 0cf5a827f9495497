# Run by CPack between the staging install and the making of the packages:
# strips the programs and libraries as Debian does. Programs and shared
# libraries lose their symbols and the compiler's .comment and .note
# sections; the static library keeps its symbols (it is linked from) but
# loses its debug information, with the archive's dates and owners zeroed.
if(NOT EXISTS "${CPACK_VEXOLANT_STRIP}")
  message(FATAL_ERROR "no strip program (CMAKE_STRIP: \"${CPACK_VEXOLANT_STRIP}\")")
endif()
set(sections --remove-section=.comment --remove-section=.note)
file(GLOB_RECURSE files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS files)
  if(IS_SYMLINK "${file}")
    continue()
  elseif(file MATCHES "/s?bin/[^/]+$")
    set(options ${sections})
  elseif(file MATCHES "/lib/[^/]+/[^/]+\\.so\\.[0-9.]+$")
    set(options ${sections} --strip-unneeded)
  elseif(file MATCHES "/lib/[^/]+/[^/]+\\.a$")
    set(options ${sections} --strip-debug --enable-deterministic-archives)
  else()
    continue()
  endif()
  execute_process(COMMAND "${CPACK_VEXOLANT_STRIP}" ${options} "${file}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "strip of ${file} failed: ${result}")
  endif()
endforeach()
