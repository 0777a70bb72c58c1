# Sourced by the build scripts after they set $top (the checkout).
# The builds compile through ccache when it is installed (cmake/ccache.cmake).
# Its cache is ccache's own, outside the checkout (~/.cache/ccache unless
# CCACHE_DIR or ccache's configuration says otherwise), so a later clone on
# the same machine finds it. Paths inside the checkout are hashed relative
# to it and the working folder is not hashed, so that clones in different
# folders share the cache's entries. Settings from the environment win.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$top}"
  export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
fi
