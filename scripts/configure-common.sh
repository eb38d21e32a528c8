# Sourced by the scripts that configure a build (from the project's root).
# configure_checked ARGS...: runs `cmake ARGS...` (a --preset, or -S/-B/-D
# arguments) and makes sure the folder's cache then holds every variable the
# preset or a -D argument sets. A folder that another configure made first
# (the tools-only build with other compilers, say) can lose them: CMake
# deletes its cache and configures without them, and still succeeds. Such a
# folder is configured once more; one that still differs stops the caller
# with a message naming the folder.
configure_checked() {
  local attempt out folder missing
  for attempt in 1 2; do
    out=$(cmake "$@") || { printf '%s\n' "$out" >&2; return 1; }
    folder=$(sed -n 's/^-- Build files have been written to: //p' <<<"$out")
    missing=$(configure_settings_missing "$folder/CMakeCache.txt" "$out" "$@")
    missing=${missing% }
    [ -z "$missing" ] && return 0
    ((attempt == 1)) && echo "The build folder $folder lost settings when it was configured ($missing): configuring it again." >&2
  done
  echo "The build folder $folder does not keep the settings asked for ($missing): remove the folder and run again." >&2
  return 1
}

# The variables (NAME=VALUE, one line each) that cmake's output (a preset's
# list) and the -D arguments set and the cache holds otherwise.
configure_settings_missing() {
  local cache=$1 out=$2 arg
  shift 2
  {
    # The preset's list: indented lines after its title, up to a blank one.
    awk '/^Preset CMake variables:/ { list = 1; next }
         list && /^  / { seen = 1; print; next }
         list && seen { exit }' <<<"$out" | sed -n 's/^  \([A-Za-z0-9_]*\)\(:[A-Z]*\)\{0,1\}="\(.*\)"$/\1=\3/p'
    for arg in "$@"; do
      [[ $arg == -D*=* ]] || continue
      arg=${arg#-D}
      printf '%s=%s\n' "${arg%%[:=]*}" "${arg#*=}"
    done
  } | while IFS= read -r setting; do
    local name=${setting%%=*} value=${setting#*=}
    grep -qxF -- "$value" <(sed -n "s/^$name:[A-Z]*=//p" "$cache" 2>/dev/null) || printf '%s ' "$setting"
  done
}
