# Sourced by the scripts that build the release tree (build/release): they
# all configure it with the same options, so that what one of them built the
# next one reuses instead of building it again.
configure_release_tree() {
  cmake -S "$root" -B "$root/build/release" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQMSOA_WERROR=ON "$@"
}
