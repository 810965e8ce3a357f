# Doxygen's input filter for the public headers: their plain // comments are
# the documentation. The comment that opens a file describes the file; a
# comment above a declaration describes it; a comment after a member on its
# line describes that member. An indented run after an empty comment line is
# an example, shown as code (or a list, when it begins with "- "); elsewhere
# Doxygen's special characters are escaped, so that the text reads as
# written. Section rulers ("// ---- Line settings ----") are left out, and
# so are the std::hash specialisations, which Doxygen cannot place.
function escape(text) {
  gsub(/\\/, "\\\\\\\\", text)
  gsub(/[@<>#&%$]/, "\\\\&", text)
  return text
}
BEGIN { opening = 1; blank = 1; mode = "text" }
skipping {
  print ""
  if ($0 ~ /^};/) skipping = 0
  next
}
held != "" {
  if ($0 ~ /^struct std::hash</) { print ""; print ""; held = ""; skipping = 1; next }
  print held
  held = ""
}
$0 == "template <>" { held = $0; next }
{
  line = $0
  if (match(line, /^[ \t]*\/\/( |$)/)) {
    indent = substr(line, 1, index(line, "/") - 1)
    text = substr(line, RLENGTH + 1)
    if (text ~ /^---- .* ----$/) { print ""; next }
    if (opening) { print "/// \\file"; opening = 0 }
    if (text ~ /^ *$/) { blank = 1; mode = "text"; print indent "///"; next }
    if (text ~ /^  /) {
      if (blank) mode = (text ~ /^ +- /) ? "list" : "code"
    } else {
      mode = "text"
    }
    blank = 0
    if (mode == "code") print indent "///   " text
    else print indent "/// " escape(text)
    next
  }
  opening = 0
  blank = 1
  mode = "text"
  if (line !~ /"/ && match(line, /[;,{]  +\/\/ /)) {
    code = substr(line, 1, RSTART)
    text = substr(line, RSTART + RLENGTH)
    print code "  ///< " escape(text)
    next
  }
  print line
}
