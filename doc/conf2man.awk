# Turns the documented sample configuration into the KEYS section of
# norvak-monitor.conf(5): every commented key block of the sample becomes
# one entry, so the page cannot say other than the sample.
#
# A block is a run of "# " comment lines (one of them "# Default: ...")
# followed by one or more "Key = value" lines (a value may go on over lines
# that start with blanks or a comma); blank lines separate blocks. The
# comment before the first section belongs to the file, not to a key.

function esc(text,   out, i, c) {
  out = ""
  for (i = 1; i <= length(text); i++) {
    c = substr(text, i, 1)
    if (c == "\\") c = "\\e"
    else if (c == "-") c = "\\-"
    out = out c
  }
  if (out ~ /^[.']/) out = "\\&" out
  return out
}

function reset() {
  ncomment = 0
  nkeys = 0
  dflt = ""
  hasDefault = 0
}

function flush(   i, line) {
  if (nkeys == 0) { reset(); return }
  print ".TP"
  line = ".B " esc(keys[0])
  for (i = 1; i < nkeys; i++) line = line " \", \" " esc(keys[i])
  if (nkeys > 1) line = ".BR " substr(line, 4)
  print line
  for (i = 0; i < ncomment; i++) print esc(comment[i])
  if (hasDefault) {
    print ".br"
    print "Default:"
    print (dflt == "" ? "empty." : "\\fB" esc(dflt) "\\fR.")
  }
  print ".br"
  print "Sample:"
  for (i = 0; i < nkeys; i++) {
    if (i > 0) print ".br"
    print "\\fB" esc(keys[i]) " = " esc(vals[i]) "\\fR"
  }
  reset()
}

BEGIN { section = ""; reset() }

/^\[[^]]*\][ \t]*$/ {
  flush()
  section = $0
  sub(/^\[/, "", section)
  sub(/\][ \t]*$/, "", section)
  print ".SS [" esc(section) "]"
  next
}

section == "" { next }

/^#/ {
  text = $0
  sub(/^# ?/, "", text)
  if (text ~ /^Default:/) {
    sub(/^Default:[ \t]*/, "", text)
    dflt = (text == "empty") ? "" : text
    hasDefault = 1
  } else {
    comment[ncomment++] = text
  }
  next
}

/^[ \t]*$/ { flush(); next }

/^[ \t]*,/ || /^[ \t]/ {
  if (nkeys > 0) {
    text = $0
    sub(/^[ \t]+/, "", text)
    vals[nkeys - 1] = vals[nkeys - 1] (text ~ /^,/ ? "" : " ") text
  }
  next
}

/=/ {
  key = $0
  sub(/[ \t]*=.*/, "", key)
  value = $0
  sub(/^[^=]*=[ \t]*/, "", value)
  sub(/[ \t]*\\$/, "", value)
  keys[nkeys] = key
  vals[nkeys] = value
  nkeys++
  next
}

END { flush() }
