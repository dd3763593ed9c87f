# Sourced by setup.sh (and its test). Derives deb-src entries from the
# machine's own apt sources, so that a machine behind a mirror or a proxy
# fetches source packages from where it fetches binary ones.
#
# deb_src_entries <apt-dir>: prints one deb822 stanza of Types "deb-src" for
# every "deb" entry in <apt-dir>/sources.list, <apt-dir>/sources.list.d/*.list
# (one-line format) and <apt-dir>/sources.list.d/*.sources (deb822 format),
# with the entry's URIs, Suites and Components, and its Signed-By and Trusted
# settings. Disabled stanzas (Enabled: no) and comments count for nothing.
# Prints nothing when there is no deb entry.
deb_src_entries() {
  local dir=$1 f
  local -a one_line=() deb822=()
  [ -f "$dir/sources.list" ] && one_line+=("$dir/sources.list")
  for f in "$dir"/sources.list.d/*.list; do [ -f "$f" ] && one_line+=("$f"); done
  for f in "$dir"/sources.list.d/*.sources; do [ -f "$f" ] && deb822+=("$f"); done

  if [ ${#one_line[@]} -gt 0 ]; then
    # deb [opt=value ...] uri suite [component ...]
    awk '
      { sub(/#.*/, "") }
      $1 != "deb" { next }
      {
        i = 2; signed = ""; trusted = ""
        if ($2 ~ /^\[/) {
          opts = ""
          for (; i <= NF; i++) { opts = opts " " $i; if ($i ~ /\]$/) { i++; break } }
          gsub(/[\[\]]/, "", opts)
          n = split(opts, o, " ")
          for (k = 1; k <= n; k++) {
            if (o[k] ~ /^signed-by=/) { signed = substr(o[k], 11) }
            if (o[k] ~ /^trusted=/) { trusted = substr(o[k], 9) }
          }
        }
        if (i + 1 > NF) next
        uri = $i; suite = $(i + 1); comps = ""
        for (k = i + 2; k <= NF; k++) comps = comps (comps == "" ? "" : " ") $k
        printf "Types: deb-src\nURIs: %s\nSuites: %s\n", uri, suite
        if (comps != "") printf "Components: %s\n", comps
        if (signed != "") printf "Signed-By: %s\n", signed
        if (trusted != "") printf "Trusted: %s\n", trusted
        print ""
      }' "${one_line[@]}"
  fi

  if [ ${#deb822[@]} -gt 0 ]; then
    # Stanzas are separated by blank lines; a field may continue on lines
    # that start with a space (an inline Signed-By key, for example).
    awk '
      function flush(   k, t, n, isdeb) {
        if (("types" in f) && f["enabled"] !~ /^[ \t]*no[ \t]*$/) {
          n = split(f["types"], t, /[ \t]+/); isdeb = 0
          for (k = 1; k <= n; k++) if (t[k] == "deb") isdeb = 1
          if (isdeb && f["uris"] != "" && f["suites"] != "") {
            printf "Types: deb-src\nURIs:%s\nSuites:%s\n", f["uris"], f["suites"]
            if ("components" in f) printf "Components:%s\n", f["components"]
            if ("signed-by" in f) printf "Signed-By:%s\n", f["signed-by"]
            if ("trusted" in f) printf "Trusted:%s\n", f["trusted"]
            print ""
          }
        }
        delete f; last = ""
      }
      FNR == 1 { flush() }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { if (last != "") f[last] = f[last] "\n" $0; next }
      {
        name = tolower(substr($0, 1, index($0, ":") - 1))
        f[name] = substr($0, index($0, ":") + 1); last = name
      }
      END { flush() }' "${deb822[@]}"
  fi
}

# has_deb_src <apt-dir>: whether any deb-src entry is configured already.
has_deb_src() {
  local dir=$1
  grep -qsE '^[[:space:]]*deb-src[[:space:]]' "$dir/sources.list" "$dir"/sources.list.d/*.list && return 0
  grep -qsiE '^Types:.*[[:space:]]deb-src([[:space:]]|$)' "$dir"/sources.list.d/*.sources
}

# write_deb_src <apt-dir>: writes the derived entries to
# <apt-dir>/sources.list.d/qar-deb-src.sources; fails with a message on
# standard error when there is no deb entry to derive them from.
write_deb_src() {
  local dir=$1 entries
  entries=$(deb_src_entries "$dir")
  if [ -z "$entries" ]; then
    echo "setup: no 'deb' entry in $dir/sources.list or $dir/sources.list.d/ to derive a 'deb-src' entry from;" \
      "add a 'deb-src' entry for Debian's main archive (for the protobuf source package) and run setup again" >&2
    return 1
  fi
  mkdir -p "$dir/sources.list.d"
  printf '%s\n' "$entries" > "$dir/sources.list.d/qar-deb-src.sources"
  echo "setup: added deb-src entries for the configured deb entries ($dir/sources.list.d/qar-deb-src.sources)"
}
