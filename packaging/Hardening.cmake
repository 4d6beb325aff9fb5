# Debian's hardening flags, as dpkg-buildflags gives them to a package built
# with hardening=+all: fortified C library calls, the stack protector, format
# checks, and relocations made read-only and bound at start. They apply to
# every target of an optimised build, so the programs in the package carry
# them. Sanitizer builds go without: the sanitizers check the same calls their
# own way and do not mix with the fortified ones. So do unoptimised builds,
# where fortification does nothing. So do Windows builds: the flags are
# Debian's for ELF programs, and the mingw-w64 linker refuses -z relro.
option(MELVIX_HARDENING "Build optimised builds with Debian's hardening flags" ON)
find_program(MELVIX_DPKG_BUILDFLAGS dpkg-buildflags)
set(MELVIX_HARDENED OFF)
if(MELVIX_HARDENING AND MELVIX_DPKG_BUILDFLAGS AND NOT MELVIX_SANITIZERS AND NOT WIN32
        AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    set(melvix_hardening_flags)
    foreach(kind IN ITEMS CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${MELVIX_DPKG_BUILDFLAGS} --get ${kind}
            OUTPUT_VARIABLE flags
            OUTPUT_STRIP_TRAILING_WHITESPACE
            COMMAND_ERROR_IS_FATAL ANY)
        separate_arguments(flags UNIX_COMMAND "${flags}")
        # The build type chooses optimisation and debug information, and the
        # prefix map would name the directory dpkg-buildflags ran in.
        list(FILTER flags EXCLUDE REGEX "^(-g|-O.*|-ffile-prefix-map=.*)$")
        set(melvix_${kind} ${flags})
    endforeach()
    add_compile_options(${melvix_CPPFLAGS} ${melvix_CXXFLAGS})
    add_link_options(${melvix_LDFLAGS})
    set(MELVIX_HARDENED ON)
endif()
