# The offline mode as one static Linux x86_64 file, on musl (Debian's
# musl-tools): a rescue system may have another C library or none we can
# use, and glibc's static iconv still loads its conversion modules and
# their configuration from /usr/lib at run time, so in a bare root it
# converts no name at all.  musl's iconv is built in.
#
# musl-gcc's specs put musl's headers and start files in place of
# glibc's.  The C++ sources include C headers only and use nothing of
# the C++ run-time (no exceptions, no RTTI, no new), so the program is
# linked through the C driver, without the glibc-built libstdc++.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MUSL_SPECS /usr/lib/x86_64-linux-musl/musl-gcc.specs)
set(CMAKE_C_COMPILER x86_64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-gnu-g++)
set(CMAKE_C_FLAGS_INIT "-specs ${MUSL_SPECS}")
set(CMAKE_CXX_FLAGS_INIT "-specs ${MUSL_SPECS} -fno-threadsafe-statics")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CXX_LINK_EXECUTABLE
  "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
set(VKM_STATIC ON CACHE BOOL "One static file on musl" FORCE)
