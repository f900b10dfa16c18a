# Run by cpack between installing into its staging folder and building the package: every manual
# page is compressed with gzip -9 and no time stamp, as Debian wants it.
find_program(gzip_program gzip REQUIRED)
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/usr/share/man/*")
foreach(page IN LISTS pages)
  if(page MATCHES "\\.gz$")
    continue()
  endif()
  execute_process(COMMAND ${gzip_program} -9 -n -f ${page} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot compress the manual page ${page}")
  endif()
endforeach()
