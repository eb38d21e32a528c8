# Fails when a source file outside src/platform includes an operating-system
# header: only the platform layer talks to the system.
#   cmake -DROOT=<source folder> -P CheckOsHeaders.cmake
file(GLOB_RECURSE files LIST_DIRECTORIES false "${ROOT}/src/*" "${ROOT}/tools/*")
set(os_header "#[ \t]*include[ \t]*<((sys|linux|arpa|netinet|net|asm|bits)/[^>]*|(unistd|fcntl|pthread|dlfcn|signal|dirent|pwd|grp|poll|termios|spawn|syslog|sched|semaphore|netdb|elf|link|execinfo|ucontext|utmp|wait|windows)\\.h)>")
set(found "")
foreach(f IN LISTS files)
  file(RELATIVE_PATH rel "${ROOT}" "${f}")
  if(rel MATCHES "^src/platform/" OR NOT rel MATCHES "\\.(c|cc|cpp|h|hpp)$")
    continue()
  endif()
  file(STRINGS "${f}" lines REGEX "${os_header}")
  foreach(line IN LISTS lines)
    string(APPEND found "  ${rel}: ${line}\n")
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "operating-system headers outside src/platform:\n${found}")
endif()
