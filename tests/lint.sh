# lint.sh format|tidy|cppcheck SOURCE_DIR BUILD_DIR: the source checks.
. "$(dirname "$0")/lib.sh"

check=$1 source_dir=$2 build_dir=$3
tool=$check
[ "$check" = format ] && tool=clang-format
[ "$check" = tidy ] && tool=clang-tidy
command -v "$tool" >/dev/null || skip "no $tool; scripts/test installs it"

cd "$source_dir" || fail "no source folder $source_dir"
mapfile -t sources < <(find src tests bench -name '*.cpp' | sort)
case $check in
  format)
    mapfile -t headers < <(find src tests bench -name '*.h' | sort)
    clang-format --dry-run --Werror "${sources[@]}" "${headers[@]}" || fail "misformatted; run clang-format -i" ;;
  tidy)
    clang-tidy --quiet -p "$build_dir" "${sources[@]}" || fail "clang-tidy warnings" ;;
  cppcheck)
    # From 2.11 it cuts branches short unless told to follow them all.
    level=()
    cppcheck --help | grep -q -- --check-level && level=(--check-level=exhaustive)
    cppcheck --enable=warning,performance,portability "${level[@]}" --error-exitcode=1 --quiet src ||
      fail "cppcheck findings" ;;
  *) fail "unknown check $check" ;;
esac
echo "$check: clean"
