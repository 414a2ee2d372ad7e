# SPDX-License-Identifier: GPL-3.0-or-later
# vexa_layer(<target> <dir> [<parent>]): gives a library an include directory
# that exposes its own folder alone, as "<dir>/header.h" (<parent>/<dir> in
# the source tree, src/ by default). A target sees a layer's
# headers only by linking the layer, so an include the layering forbids fails
# to compile instead of being a convention.
function(vexa_layer target dir)
    set(parent ${PROJECT_SOURCE_DIR}/src)
    if(ARGC GREATER 2)
        set(parent ${ARGV2})
    endif()
    set(root ${PROJECT_BINARY_DIR}/layers/${dir})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${parent}/${dir} ${root}/${dir} SYMBOLIC COPY_ON_ERROR)
    target_include_directories(${target} PUBLIC ${root})
endfunction()
