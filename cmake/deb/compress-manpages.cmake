# Run by CPack between the staging install and the making of the packages:
# compresses every manual page of every package with gzip -9n (the best
# compression, without a name or a time stamp inside), as Debian ships them.
file(GLOB_RECURSE pages LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER pages INCLUDE REGEX "/share/man/man[1-9]/[^/]+\\.[1-9]$")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip of ${page} failed: ${result}")
  endif()
endforeach()
