# Writes nuboxlink.pc for a tree whose library folder is LIBDIR and header folder
# INCLUDEDIR (both relative to the tree's prefix). Every folder is given relative to the
# file's own place, ${pcfiledir}: "pkg-config --define-prefix" replaces only the prefix
# variable, and guesses it as two folders above the file, which is wrong for a multiarch
# LIBDIR such as lib/x86_64-linux-gnu; folders derived from ${prefix} would follow that
# guess.
#
# Included by the build (nuboxlink_write_pc), and run as a script by the install test:
#   cmake -DLIBDIR=... -DINCLUDEDIR=... -DOUT=FILE -P nuboxlink_pc.cmake
function(nuboxlink_write_pc libdir includedir out)
    set(pc_dir /${libdir}/pkgconfig)
    file(RELATIVE_PATH nuboxlink_pc_to_prefix ${pc_dir} /)
    file(RELATIVE_PATH nuboxlink_pc_to_libdir ${pc_dir} /${libdir})
    file(RELATIVE_PATH nuboxlink_pc_to_includedir ${pc_dir} /${includedir})
    foreach(v nuboxlink_pc_to_prefix nuboxlink_pc_to_libdir nuboxlink_pc_to_includedir)
        string(REGEX REPLACE "/$" "" ${v} "${${v}}")
    endforeach()
    configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/nuboxlink.pc.in ${out} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    nuboxlink_write_pc(${LIBDIR} ${INCLUDEDIR} ${OUT})
endif()
