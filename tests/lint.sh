#!/usr/bin/env bash
# lint.sh clang-format|clang-tidy|cppcheck|shellcheck SOURCE_DIR BUILD_DIR:
# the source checks.
# shellcheck source=lib.sh
. "$(dirname "$0")/lib.sh"

tool=$1 source_dir=$2 build_dir=$3
command -v "$tool" >/dev/null || skip "no $tool; scripts/test installs it"

cd "$source_dir" || fail "no source folder $source_dir"
mapfile -t sources < <(git ls-files 2>/dev/null '*.cpp' '*.h' || find src tests bench -name '*.cpp' -o -name '*.h')
# Every shell file: by its name, or by the shell its first line names.
shell_files() {
  local file
  while IFS= read -r file; do
    case $file in
      *.sh) echo "$file" ;;
      *) head -1 "$file" | grep -qE '^#!.*\b(ba)?sh\b' && echo "$file" ;;
    esac
  done < <(git ls-files 2>/dev/null || find . -type f -not -path './build/*' -not -path './.git/*')
}
case $tool in
  clang-format)
    clang-format --dry-run --Werror "${sources[@]}" || fail "misformatted; run clang-format -i" ;;
  clang-tidy)
    # The files of the build's targets, which its compile database knows.
    mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep -E '^(src|tests|bench)/.*\.cpp$')
    clang-tidy --quiet -p "$build_dir" "${units[@]}" || fail "clang-tidy warnings" ;;
  cppcheck)
    # From 2.11 it cuts branches short unless told to follow them all.
    level=()
    cppcheck --help | grep -q -- --check-level && level=(--check-level=exhaustive)
    cppcheck --enable=warning,performance,portability "${level[@]}" --error-exitcode=1 --quiet src ||
      fail "cppcheck findings" ;;
  shellcheck)
    mapfile -t scripts < <(shell_files)
    [ ${#scripts[@]} -gt 0 ] || fail "no shell files found"
    shellcheck -x -S warning "${scripts[@]}" || fail "shellcheck findings"
    # A table or a command built as text and run through eval breaks on the
    # first quote in it.
    ! grep -nwE '^[^#]*\beval\b' "${scripts[@]}" || fail "eval in the shell code" ;;
  *) fail "unknown check $tool" ;;
esac
echo "$tool: clean"
