#!/usr/bin/env bash
# Checks the library as others use it: builds it (Release, no tests) in build-package/,
# installs it into a temporary prefix, and there
#   - checks the installed files: headers, libquillbox.so.1 -> libquillbox.so.1.0.168
#     with that SONAME and only the public exports, the CMake package and quillbox.pc;
#   - builds and runs tests/package/find_package (find_package(Quillbox 1.0), a round
#     trip through a database) and tests/package/pkg-config (cc with pkg-config's flags);
# then configures tests/package/subproject, a project that includes this source tree
# with add_subdirectory, and checks that it gets the library alone (no test target) and
# that none of Quillbox's flags reach the includer's own program. The command-line tool
# is installed to bin/ and is not built for an includer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tools/install_deps.sh

fail() {
  echo "package_test: $*" >&2
  exit 1
}

build=build-package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLBOX_TESTS=OFF -DQUILLBOX_EXAMPLES=OFF \
  -DQUILLBOX_BENCHMARKS=OFF -DQUILLBOX_SANITIZE= -DQUILLBOX_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

# The installed files. The library folder is lib/ or, for some prefixes, a
# multiarch folder below it (GNUInstallDirs).
version=$(sed -n 's/^project(quillbox VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
[ -n "$version" ] || fail "no version in CMakeLists.txt"
library=$(find "$prefix" -name "libquillbox.so.$version" -type f)
[ -n "$library" ] || fail "libquillbox.so.$version not installed"
libdir=$(dirname "$library")
for file in include/quillbox.h include/quillbox_version.h; do
  [ -f "$prefix/$file" ] || fail "$file not installed"
done
for file in cmake/Quillbox/QuillboxConfig.cmake cmake/Quillbox/QuillboxConfigVersion.cmake \
            cmake/Quillbox/QuillboxTargets.cmake pkgconfig/quillbox.pc; do
  [ -f "$libdir/$file" ] || fail "${libdir#"$prefix"/}/$file not installed"
done
[ "$(readlink "$libdir/libquillbox.so")" = "libquillbox.so.$major" ] ||
  fail "libquillbox.so does not point to libquillbox.so.$major"
[ "$(readlink "$libdir/libquillbox.so.$major")" = "libquillbox.so.$version" ] ||
  fail "libquillbox.so.$major does not point to libquillbox.so.$version"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libquillbox.so.$major" ] || fail "SONAME is '$soname', not libquillbox.so.$major"
grep -q "QUILLBOX_VERSION_STRING \"$version\"" "$prefix/include/quillbox_version.h" ||
  fail "the installed quillbox_version.h does not name $version"
[ "$("$prefix/bin/quillbox" --version)" = "$version" ] || fail "bin/quillbox does not report $version"
tools/check_exports.sh "$library" tools/exported_symbols.txt
echo "installed: headers, ${library#"$prefix"/} (SONAME $soname), bin/quillbox, CMake package, quillbox.pc"

export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
mkdir "$work/data"

# A CMake project: find_package(Quillbox 1.0 REQUIRED) finds the installed package.
cmake -S tests/package/find_package -B "$work/find_package" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
found=$(sed -n 's/^Quillbox_DIR:PATH=//p' "$work/find_package/CMakeCache.txt")
[ "$found" = "$libdir/cmake/Quillbox" ] || fail "find_package found '$found', not the installed copy"
cmake --build "$work/find_package" >/dev/null
"$work/find_package/consumer" "$work/data"

# A plain compiler command with pkg-config's flags.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion quillbox)" = "$version" ] || fail "pkg-config does not report $version"
# shellcheck disable=SC2046  # The flags are meant to split into words.
cc -o "$work/pkg_config_consumer" tests/package/pkg-config/main.c $(pkg-config --cflags --libs quillbox)
"$work/pkg_config_consumer"

# A project that includes this tree with add_subdirectory, with Quillbox's -Werror and
# a sanitizer on: they must reach the library's own compile commands and none of the
# includer's; and without QUILLBOX_TESTS it gets the library alone.
subproject=$work/subproject
cmake -S tests/package/subproject -B "$subproject" -G "Unix Makefiles" -DQUILLBOX_TREE="$root" \
  -DQUILLBOX_WERROR=ON -DQUILLBOX_SANITIZE=address -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
targets=$(cmake --build "$subproject" --target help)
tests=$(echo "$targets" | grep -c quillbox_tests || true)
[ "$tests" = 0 ] || fail "the subproject build has a quillbox_tests target"
for target in quillbox_testing c_client record_streams quillbox_cli; do
  if echo "$targets" | grep -q "\.\.\. $target\$"; then
    fail "the subproject build has a $target target"
  fi
done
echo "$targets" | grep -q '\.\.\. quillbox$' || fail "the subproject build has no quillbox target"
commands=$subproject/compile_commands.json
parent_compile=$(grep '"command".*parent_app\.dir' "$commands") || fail "no compile command of parent_app"
library_compile=$(grep '"command".*quillbox_objects\.dir.*database/quillbox\.cc' "$commands") ||
  fail "no compile command of lib/database/quillbox.cc"
for flag in -Wall -Werror -fsanitize=address; do
  case $parent_compile in *" $flag"*) fail "$flag reached the includer's program";; esac
  case $library_compile in *" $flag"*) ;; *) fail "$flag did not reach the library";; esac
done
parent_link=$(cat "$subproject/CMakeFiles/parent_app.dir/link.txt")
case $parent_link in *-fsanitize*) fail "the sanitizer reached the includer's link command";; esac
echo "subproject: the library alone (no test or tool target), the includer's flags unchanged"
echo "package_test: ok"
