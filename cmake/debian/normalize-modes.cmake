# Run by CPack on the staging folder before the package is made: every
# folder 0755, every file 0644, or 0755 if its owner may run it, whatever
# the umask of the one who builds (the install may follow it in places);
# programs lose the compiler's notes (.comment, .note), as Debian's own
# packages do.
file(GLOB_RECURSE vbx_entries LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(APPEND vbx_entries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
foreach(entry IN LISTS vbx_entries)
  if(IS_SYMLINK "${entry}")
    continue()
  elseif(IS_DIRECTORY "${entry}")
    file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                      WORLD_READ WORLD_EXECUTE)
  else()
    execute_process(COMMAND test -x "${entry}" RESULT_VARIABLE vbx_not_executable)
    file(READ "${entry}" vbx_magic LIMIT 4 HEX)
    if(vbx_magic STREQUAL "7f454c46")
      execute_process(COMMAND objcopy --remove-section=.comment --remove-section=.note "${entry}")
    endif()
    if(vbx_not_executable EQUAL 0)
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                        WORLD_READ WORLD_EXECUTE)
    else()
      file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    endif()
  endif()
endforeach()
