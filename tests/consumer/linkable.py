#!/usr/bin/env python3
"""Lists what an application could call through the installed headers but
could not link: every function and static data member of the library's
namespaces that a header declares without defining, whose symbol the
installed library does not export.

usage: linkable.py <ast.json> <exported-symbols.txt>
The first file is clang's JSON AST dump (filtered to the library's
namespaces) of a file that includes every installed header; the second is
the library's dynamic symbols, one a line."""
import json
import sys

FUNCTIONS = {"FunctionDecl", "CXXMethodDecl", "CXXConstructorDecl", "CXXDestructorDecl",
             "CXXConversionDecl"}
SKIPPED = {"ClassTemplateDecl", "FunctionTemplateDecl", "ClassTemplatePartialSpecializationDecl",
           "TypeAliasTemplateDecl", "VarTemplateDecl"}


def documents(text):
    decoder = json.JSONDecoder()
    at = 0
    while True:
        while at < len(text) and text[at] != "{":
            at += 1
        if at >= len(text):
            return
        value, at = decoder.raw_decode(text, at)
        yield value


def needs_symbol(node):
    kind = node.get("kind")
    if kind in FUNCTIONS:
        if node.get("inline") or node.get("pure") or node.get("explicitlyDeleted"):
            return False
        if node.get("explicitlyDefaulted") or node.get("isImplicit"):
            return False
        if any(child.get("kind") == "CompoundStmt" for child in node.get("inner", [])):
            return False
        return True
    if kind == "VarDecl":
        return (node.get("storageClass") in ("static", "extern") and not node.get("constexpr")
                and not node.get("inline") and "init" not in node)
    return False


def walk(node, where, missing, exported):
    kind = node.get("kind")
    if kind in SKIPPED:
        return
    if needs_symbol(node):
        name = node.get("mangledName")
        if name and name not in exported:
            missing.add(f"{where}: {node.get('name')} ({name})")
    where = node.get("loc", {}).get("file", where)
    # Private members are out of the caller's reach.
    access = "private" if node.get("tagUsed") == "class" else "public"
    for child in node.get("inner", []):
        if child.get("kind") == "AccessSpecDecl":
            access = child.get("access", access)
        elif kind != "CXXRecordDecl" or access != "private":
            walk(child, where, missing, exported)


def main():
    ast_file, symbols_file = sys.argv[1:3]
    with open(symbols_file) as f:
        exported = {line.strip() for line in f if line.strip()}
    with open(ast_file) as f:
        text = f.read()
    missing = set()
    for document in documents(text):
        walk(document, "?", missing, exported)
    for line in sorted(missing):
        print(line)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
