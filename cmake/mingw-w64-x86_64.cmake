# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread model, which std::thread needs).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BV_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${BV_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BV_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BV_MINGW_TRIPLE}-windres)

# Libraries and headers come from the target's folders and the prefixes given in CMAKE_PREFIX_PATH; programs
# (protoc, moc) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${BV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The dependencies' prefixes (CMAKE_PREFIX_PATH) are roots of their own, as the target's folders are.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
