# Doxygen input filter: the public headers write their contracts as plain // comments; this turns them
# into Doxygen comments without touching the headers. A block at the top of a file that a blank line
# ends describes the file, a block above a declaration documents it, and a comment after a member or an
# enumerator (with its continuation lines) documents that member.
function flush(kind,    i, line) {
    if (kind == "file") print "/// @file"
    for (i = 1; i <= count; i++) {
        line = block[i]
        sub(/\/\//, kind == "member" ? "///<" : "///", line)
        print line
    }
    count = 0
}

/^[ \t]*\/\// { block[++count] = $0; next }

{
    if (count > 0) flush(trailing ? "member" : (!seenCode && $0 ~ /^[ \t]*$/) ? "file" : "declaration")
    trailing = 0
    line = $0
    if (line !~ /^[ \t]*(#pragma.*)?$/) seenCode = 1
    if (line ~ /[;,{][ \t]+\/\/ /) {
        sub(/[ \t]+\/\/ /, " ///< ", line)
        trailing = 1
    }
    print line
}

END { if (count > 0) flush("declaration") }
