# vexa_layer(<target> <dir>): gives a layer library an include directory that
# exposes that layer alone, as "<dir>/header.h". A target sees a layer's
# headers only by linking the layer, so an include the layering forbids fails
# to compile instead of being a convention.
function(vexa_layer target dir)
    set(root ${PROJECT_BINARY_DIR}/layers/${dir})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${dir} ${root}/${dir} SYMBOLIC COPY_ON_ERROR)
    target_include_directories(${target} PUBLIC ${root})
endfunction()
