# shellcheck shell=bash
# Sourced: which of this machine's binaries run through qemu-user rather
# than on the kernel itself.

# elf_arch FILE: qemu's name for the architecture in FILE's ELF header.
elf_arch() {
  case $(od -An -tx1 -j18 -N1 "$1" | tr -d ' ') in
    03) echo i386 ;;
    3e) echo x86_64 ;;
    b7) echo aarch64 ;;
    *) echo unknown ;;
  esac
}

# through_qemu FILE: whether an enabled binfmt handler hands FILE to qemu.
# Such a handler comes before the kernel's own ELF loader, and is only ever
# registered where that loader refuses the architecture.
through_qemu() {
  local entry arch
  arch=$(elf_arch "$1")
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [ "$(head -1 "$entry" 2>/dev/null)" = enabled ] && grep -q "^interpreter .*qemu.*$arch" "$entry" &&
      return 0
  done
  return 1
}
