# Shows doxygen the public headers' plain comments as documentation, so that
# the headers keep the project's `//` style. Doxygen runs it as
#   awk -f comment-filter.awk <header>
# and reads the header from its output, line for line: a warning's line
# number is the header's own.
#
# What becomes documentation:
# - the comment block a header starts with: the file's description;
# - a block of `//` lines directly above a declaration (or above the #if that
#   picks one): that declaration's description;
# - `// text` at the end of a member or enumerator line: its description;
# - a getter directly above its setter (GetX and SetX, either order): one
#   member group, so that the block above the pair describes both;
# - `//@{` ... `//@}` around a run of declarations that one comment describes:
#   a member group (written `/**@{*/` ... `/**@}*/`, the form doxygen reads).
# What stays plain: a block with a blank line after it, a section ruler
# (`// --- Buffers ---`), and comments inside function bodies. Left out of
# the reference: protected members (the layer's own device layers and
# threads use them, not programs), and the definition of a member outside
# its class (its declaration carries the comment).
#
# Two headers are tables of macro rows, and their rows are written out as
# what they declare: error_table.h's as the named result codes, each with its
# text and the exception it raises, under a heading per section; those of
# exceptions.h as the exception classes, each with the `// text` behind its
# row and the codes that raise it.
#
# The characters doxygen reads as commands or markup (\ @ < > &) are escaped
# in converted text, so that a comment reads as written; doxygen itself takes
# text in double quotes or backticks as it is. A run of lines indented four
# or more after an empty comment line (a table) is shown as written.

function escape(s,    out, i, c, quote) {
  out = ""
  quote = ""
  for (i = 1; i <= length(s); i++) {
    c = substr(s, i, 1)
    if (c == "`" || c == "\"") {
      if (quote == "") quote = c
      else if (quote == c) quote = ""
    } else if (quote == "" && (c == "\\" || c == "@" || c == "<" || c == ">" || c == "&")) {
      out = out "\\"
    }
    out = out c
  }
  return out
}

function is_marker(l) { return l ~ /^[ \t]*\/\/[ \t]*@[{}][ \t]*$/ }
function is_comment(l) {
  return l ~ /^[ \t]*\/\// && l !~ /^[ \t]*\/\/[\/!]/ && !is_marker(l)
}
function is_ruler(l) { return l ~ /^[ \t]*\/\/ *---/ }
function is_blank(l) { return l ~ /^[ \t]*$/ }
function is_pp(l) { return l ~ /^[ \t]*#/ }
function is_code(l) { return !is_blank(l) && !is_pp(l) && l !~ /^[ \t]*\/\// }

# "//" comment text -> "///" documentation.
function to_doc(l,    at) {
  at = index(l, "//")
  return substr(l, 1, at - 1) "///" escape(substr(l, at + 2))
}

# A block of comment lines -> one /** */ block: its first sentence is the
# summary even when it runs over a line end (in a /// block the first line
# would be). A table in it becomes a code block (markdown wants it indented
# four more than the text around it).
function convert_block(from, to,    k, at, text, table, empty, mark) {
  table = 0
  empty = 0
  for (k = from; k <= to; k++) {
    at = index(L[k], "//")
    text = substr(L[k], at + 2)
    table = text ~ /^     / && (table || empty)
    empty = text ~ /^[ \t]*$/
    mark = k == from ? "/**" : " *"
    gsub(/\*\//, "* /", text)
    O[k] = substr(L[k], 1, at - 1) mark (table ? "    " text : escape(text))
  }
  O[to] = O[to] " */"
}

# Where a code line's trailing comment starts (0: none), string and character
# literals skipped.
function comment_at(l,    i, c, q) {
  q = ""
  for (i = 1; i < length(l); i++) {
    c = substr(l, i, 1)
    if (q != "") {
      if (c == "\\") i++
      else if (c == q) q = ""
    } else if (c == "\"" || c == "'") {
      q = c
    } else if (substr(l, i, 2) == "//") {
      return i
    }
  }
  return 0
}

function code_of(l,    at) {
  at = comment_at(l)
  return at ? substr(l, 1, at - 1) : l
}

function rtrim(s) { sub(/[ \t]+$/, "", s); return s }

# The name a declaration line declares: its first identifier followed by "(".
function declared_name(l,    s) {
  s = code_of(l)
  if (!match(s, /[A-Za-z_][A-Za-z0-9_]*\(/)) return ""
  return substr(s, RSTART, RLENGTH - 1)
}

# error_table.h rows: SIO_ERROR(code, name, "text", cls) and
# SIO_ERROR_UNNAMED(code, "text", cls). Sets row_code, row_name (empty when
# unnamed), row_text and row_cls.
function parse_row(s,    named, q1, q2, head, tail, parts) {
  named = s ~ /^[ \t]*SIO_ERROR\(/
  sub(/^[ \t]*SIO_ERROR(_UNNAMED)?\([ \t]*/, "", s)
  sub(/\)[ \t]*$/, "", s)
  q1 = index(s, "\"")
  q2 = q1 + index(substr(s, q1 + 1), "\"")
  while (substr(s, q2 - 1, 1) == "\\") q2 += index(substr(s, q2 + 1), "\"")
  head = substr(s, 1, q1 - 1)
  row_text = substr(s, q1 + 1, q2 - q1 - 1)
  tail = substr(s, q2 + 1)
  gsub(/[ \t]/, "", head)
  gsub(/[ \t,]/, "", tail)
  split(head, parts, ",")
  row_code = parts[1]
  row_name = named ? parts[2] : ""
  row_cls = tail
}

function is_row(l) { return l ~ /^[ \t]*SIO_ERROR(_UNNAMED)?\(/ }

# What a code's row says, as its documentation. The raising rules are
# RaiseSioError's: the row's class, else -8 out of memory, -2 to -162 the
# I/O error, else the plain exception.
function row_doc(    doc, n) {
  n = row_code + 0
  if (row_text != "") doc = escape("\"" row_text "\"")
  else doc = "No text of its own: the system's text for error number " (-n)
  if (n == 0) return doc ": success."
  if (row_cls != "NoOwnClass") return doc "; raises " row_cls "."
  if (n == -8) return doc "; raises EOutOfMemory."
  if (n <= -2 && n >= -162) return doc "; raises EInOutError with error number " (-n) "."
  return doc "; raises the plain ESioException (ErrorCode 0)."
}

# For exceptions.h: which codes of the table raise each class.
function read_table(path,    line, row, entry) {
  while ((getline line < path) > 0) {
    if (!is_row(line)) continue
    row = line
    while (rtrim(row) !~ /\)$/ && (getline line < path) > 0) row = row " " line
    parse_row(row)
    entry = row_name != "" ? row_name " (" row_code ")" : row_code
    if (row_cls in raised_by) entry = raised_by[row_cls] SUBSEP entry
    raised_by[row_cls] = entry
  }
  close(path)
}

function codes_text(cls,    list, k, i, s) {
  if (!(cls in raised_by)) return ""
  k = split(raised_by[cls], list, SUBSEP)
  s = list[1]
  for (i = 2; i <= k; i++) s = s (i == k ? " and " : ", ") list[i]
  return "Raised for " s "."
}

{ L[NR] = $0 }

END {
  n = NR
  base = FILENAME
  sub(/.*\//, "", base)
  table = base == "error_table.h"
  classes = base == "exceptions.h"
  if (classes) {
    dir = FILENAME
    sub(/[^\/]*$/, "", dir)
    read_table(dir "error_table.h")
  }
  for (i = 1; i <= n; i++) O[i] = L[i]

  # Function bodies: braces that do not open a namespace, class, struct,
  # enum or union. Preprocessor lines and their continuations are skipped.
  depth = 0
  cont = 0
  top = 0
  for (i = 1; i <= n; i++) {
    in_body[i] = depth > 0
    level[i] = top
    if (cont || is_pp(L[i])) {
      cont = L[i] ~ /\\$/
      continue
    }
    s = code_of(L[i])
    gsub(/"([^"\\]|\\.)*"/, "", s)
    gsub(/'([^'\\]|\\.)*'/, "", s)
    scope = s ~ /(^|[^A-Za-z0-9_])(namespace|class|struct|enum|union)([^A-Za-z0-9_]|$)/
    for (k = 1; k <= length(s); k++) {
      c = substr(s, k, 1)
      if (c == "{") kind[++top] = scope ? "scope" : "body"
      else if (c == "}" && top > 0) top--
    }
    depth = 0
    for (k = 1; k <= top; k++) if (kind[k] == "body") depth++
  }
  level[n + 1] = top

  # The file's description.
  if (n > 0 && is_comment(L[1])) {
    for (j = 1; j < n && is_comment(L[j + 1]); j++) {}
    text = substr(L[1], index(L[1], "//") + 2)
    sub(/^ +/, "", text)
    convert_block(1, j)
    O[1] = "/** \\file " base " " escape(text) (j == 1 ? " */" : "")
    start = j + 1
  } else {
    start = 1
  }

  if (table) {
    group_open = 0
    ns_open = 0
    for (i = start; i <= n; i++) {
      if (!ns_open && is_blank(L[i])) {
        O[i] = "namespace sio {"
        ns_open = 1
      } else if (is_comment(L[i]) && !is_ruler(L[i])) {
        for (j = i; j < n && is_comment(L[j + 1]); j++) {}
        # A section heading: its first sentence names the group of the rows
        # under it; the rest describes them.
        if (j < n && is_row(L[j + 1]) && L[j + 1] !~ /UNNAMED/) {
          text = substr(L[i], index(L[i], "//") + 2)
          sub(/^ +/, "", text)
          head = text
          rest = ""
          if (match(text, /[.:] /)) {
            head = substr(text, 1, RSTART - 1)
            rest = substr(text, RSTART + 2)
          }
          sub(/[.:]$/, "", head)
          if (group_open) O[i - 1] = O[i - 1] " /**@}*/"
          O[i] = "/// \\name " escape(head)
          for (k = i + 1; k <= j; k++) O[k] = to_doc(L[k])
          if (rest != "" && j > i) O[i + 1] = "/// " escape(rest) " " substr(O[i + 1], 5)
          open_at = j + 1
          group_open = 1
        }
        i = j
      } else if (is_row(L[i])) {
        row = L[i]
        for (j = i; rtrim(L[j]) !~ /\)$/ && j < n; j++) {
          row = row " " L[j + 1]
          O[j + 1] = ""
        }
        parse_row(row)
        if (row_name == "") O[i] = ""
        else O[i] = "/** " row_doc() " */ constexpr int32_t " row_name " = " row_code ";"
        if (i == open_at) O[i] = "/**@{*/ " O[i]
        i = j
      } else if (L[i] ~ /^#undef SIO_ERROR$/) {
        O[i] = (group_open ? "/**@}*/ " : "") "}"
        group_open = 0
      }
    }
    for (i = 1; i <= n; i++) print O[i]
    exit
  }

  # Member group markers, in the form doxygen reads them.
  for (i = start; i <= n; i++) {
    if (!is_marker(L[i])) continue
    O[i] = L[i]
    sub(/\/\/[ \t]*@\{/, "/**@{*/", O[i])
    sub(/\/\/[ \t]*@\}/, "/**@}*/", O[i])
  }

  # Protected members are the layer's own (its device layers and threads),
  # not what a program calls: left out up to the next access label or the
  # end of the class.
  for (i = start; i <= n; i++) {
    if (L[i] !~ /^[ \t]*protected:/ || in_body[i]) continue
    for (k = i + 1; k <= n; k++) {
      if (level[k] == level[i] && L[k] ~ /^[ \t]*(public|private):/) break
      if (level[k + 1] < level[i]) break
    }
    O[i] = L[i] " /** \\cond */"
    O[k] = "/** \\endcond */ " L[k]
  }

  # A member defined outside its class is documented at its declaration;
  # its definition (and the template line above it) is left out.
  for (i = start + 1; i <= n; i++) {
    if (in_body[i] || L[i] !~ /^[A-Za-z_].*[A-Za-z0-9_>]::~?[A-Za-z_][A-Za-z0-9_]*\(/) continue
    first = L[i - 1] ~ /^template[ <]/ ? i - 1 : i
    for (k = i; k < n && level[k + 1] > level[i]; k++) {}
    if (k == i && L[i] !~ /[{]/) continue
    O[first] = "/** \\cond */ " O[first]
    O[k] = O[k] " /** \\endcond */"
  }

  # Comment blocks above declarations.
  for (i = start; i <= n; i++) {
    if (!is_comment(L[i]) || is_ruler(L[i]) || in_body[i]) continue
    for (j = i; j < n && is_comment(L[j + 1]) && !is_ruler(L[j + 1]); j++) {}
    next_line = j < n ? L[j + 1] : ""
    documents = is_code(next_line) || next_line ~ /^[ \t]*#[ \t]*(if|ifdef|ifndef|define)[ \t(]/
    if (classes && next_line ~ /^SIO_EXCEPTION_CLASS\(/) documents = 0
    if (documents) {
      convert_block(i, j)
      doc_from[j + 1] = i
    }
    i = j
  }

  # Trailing comments of members and enumerators.
  for (i = start; i <= n; i++) {
    if (!is_code(L[i]) || in_body[i]) continue
    at = comment_at(L[i])
    if (!at || rtrim(substr(L[i], 1, at - 1)) !~ /[;,]$/) continue
    if (classes && L[i] ~ /^SIO_EXCEPTION_CLASS\(/) continue
    text = substr(L[i], at + 2)
    sub(/^ +/, "", text)
    O[i] = substr(L[i], 1, at - 1) "///< " escape(text)
  }

  # Getter and setter pairs.
  for (i = start; i < n; i++) {
    if (!is_code(L[i]) || !is_code(L[i + 1]) || in_body[i] || in_body[i + 1]) continue
    a = declared_name(L[i])
    b = declared_name(L[i + 1])
    if (a !~ /^[GS]et./ || substr(a, 4) != substr(b, 4) || substr(a, 1, 3) == substr(b, 1, 3)) continue
    if (b !~ /^[GS]et/) continue
    if (rtrim(code_of(L[i])) !~ /[;}]$/ || rtrim(code_of(L[i + 1])) !~ /[;}]$/) continue
    open_line = (i in doc_from) ? doc_from[i] : i
    O[open_line] = "/**@{*/ " O[open_line]
    at = comment_at(O[i + 1])
    if (at) O[i + 1] = substr(O[i + 1], 1, at - 1) "/**@}*/ " substr(O[i + 1], at)
    else O[i + 1] = O[i + 1] " /**@}*/"
    i++
  }

  # The exception classes.
  if (classes) {
    for (i = start; i <= n; i++) {
      if (L[i] !~ /^SIO_EXCEPTION_CLASS\(/) continue
      s = code_of(L[i])
      sub(/^SIO_EXCEPTION_CLASS\([ \t]*/, "", s)
      sub(/\).*$/, "", s)
      gsub(/[ \t]/, "", s)
      split(s, parts, ",")
      doc = ""
      at = comment_at(L[i])
      if (at) {
        doc = substr(L[i], at + 2)
        sub(/^ +/, "", doc)
        doc = escape(doc)
        if (doc !~ /\.$/) doc = doc "."
      }
      codes = codes_text(parts[1])
      if (codes != "") doc = doc (doc != "" ? " " : "") codes
      O[i] = (doc != "" ? "/** " doc " */ " : "") "class " parts[1] " : public " parts[2] \
          " { public: /** Made from a code: the message is the code's text. */ explicit " \
          parts[1] "(int32_t code); /** Made from a code and a text of the raiser's own. */ " \
          parts[1] "(int32_t code, const std::string& text); };"
    }
  }

  for (i = 1; i <= n; i++) print O[i]
}
