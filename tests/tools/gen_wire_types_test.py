"""The wire-type generator: tables it must refuse, and what it writes from
the real tables. Run by ctest with the path of the source tree."""

import contextlib
import io
import os
import re
import sys
import tempfile
import unittest

ROOT = os.environ["QMSOA_SOURCE_DIR"]
sys.path.insert(0, os.path.join(ROOT, "tools"))
import gen_wire_types as gen  # noqa: E402

TYPES = os.path.join(ROOT, "soa/schemas/wire-types.tsv")
FIELDS = os.path.join(ROOT, "soa/schemas/wire-fields.tsv")
TYPE_HEADER = "folder\tgroup\tnamespace\ttype\tdescription\n"
FIELD_HEADER = "type\tstem\tkind\telement\toptional\tdescription\n"


def run(types, fields, *extra):
    """Runs the generator on the given table texts: (exit code, stderr)."""
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for name, text in (("types.tsv", types), ("fields.tsv", fields)):
            paths.append(os.path.join(folder, name))
            with open(paths[-1], "w", encoding="utf-8") as f:
                f.write(text)
        errors = io.StringIO()
        with contextlib.redirect_stderr(errors), contextlib.redirect_stdout(io.StringIO()):
            code = gen.main(["--types", paths[0], "--fields", paths[1], "--list"] + list(extra))
        return code, errors.getvalue()


def types_of(*names):
    return TYPE_HEADER + "".join("base\tBase\tN::Base\t%s\tA type.\n" % n for n in names)


class RefusedTables(unittest.TestCase):
    def assertRefused(self, types, fields, message):
        code, errors = run(types, fields)
        self.assertEqual(code, 1, errors)
        self.assertIn(message, errors)

    def test_an_element_type_must_be_listed_before_its_owner(self):
        # The owner's header includes the element's: a later or the same type
        # would include itself or a header not yet written.
        for element in ("Later", "Owner"):
            self.assertRefused(types_of("Owner", "Later"),
                               FIELD_HEADER + "Owner\tItem\tlist\t%s\t\tItems.\n" % element
                               + "Later\tName\tstring\t\t\tA name.\n",
                               "is not a type listed before Owner")

    def test_lists_and_values_have_no_set_flag_and_scalars_no_element(self):
        self.assertRefused(types_of("A", "B"),
                           FIELD_HEADER + "A\tName\tstring\t\t\tA name.\n"
                           + "B\tItem\tlist\tA\topt\tItems.\n",
                           "only a string, int or bool field can be optional")
        self.assertRefused(types_of("A", "B"),
                           FIELD_HEADER + "A\tName\tstring\t\t\tA name.\n"
                           + "B\tItem\tstring\tA\t\tItems.\n",
                           "a string field has no element type")

    def test_fields_of_a_type_differ_in_stem_and_in_xml_name(self):
        self.assertRefused(types_of("A"),
                           FIELD_HEADER + "A\tName\tstring\t\t\tA.\nA\tName\tint\t\t\tB.\n",
                           "two fields of stem Name")
        # A list's element name gets an "s": "values" twice.
        self.assertRefused(types_of("P", "A"),
                           FIELD_HEADER + "P\tName\tstring\t\t\tA.\n"
                           + "A\tValues\tstring\t\t\tA.\nA\tValue\tlist\tP\t\tB.\n",
                           "share an XML name")

    def test_names_kinds_and_descriptions_are_checked(self):
        for row, message in (("A\tname\tstring\t\t\tA.", "is not a capitalised name"),
                             ("A\tName\tdouble\t\t\tA.", "unknown kind"),
                             ("A\tName\tstring\t\tyes\tA.", "optional is 'opt' or empty"),
                             ("A\tName\tstring\t\t\t", "needs a description"),
                             ("A\tName\tstring\t\t\t" + "x" * 94, "needs a description"),
                             ("B\tName\tstring\t\t\tA.", "unknown type B")):
            self.assertRefused(types_of("A"), FIELD_HEADER + row + "\n", message)
        self.assertRefused(types_of("A", "B"), FIELD_HEADER + "A\tName\tstring\t\t\tA.\n",
                           "type B has no fields")
        self.assertRefused(TYPE_HEADER + "base\tBase\tN\tA\tA.\nbase\tCore\tN\tB\tB.\n",
                           FIELD_HEADER, "is not one capitalised name for folder base")


class RealTables(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.types = gen.read_types(TYPES)
        gen.read_fields(FIELDS, cls.types)
        cls.files = {path: render() for path, render in gen.outputs(cls.types).items()}

    def test_every_member_is_declared_by_name_under_its_comment(self):
        for wire_type in self.types.values():
            for path in (gen.header_path(wire_type, wire_type.impl), gen.header_path(wire_type)):
                lines = self.files[path].split("\n")
                for field in wire_type.fields:
                    getter = ("get%sArray(" if field.kind == "list" else "get%s(") % field.stem
                    at = next(i for i, line in enumerate(lines) if getter in line)
                    self.assertEqual(lines[at - 1].strip(), "// " + field.description, path)
                    if field.optional:
                        self.assertTrue(any("is%sSet()" % field.stem in l for l in lines), path)

    def test_output_is_of_the_house_width_and_free_of_the_old_macros(self):
        for path, text in self.files.items():
            for number, line in enumerate(text.split("\n"), start=1):
                self.assertLessEqual(len(line), gen.WIDTH, "%s:%d" % (path, number))
            self.assertIsNone(re.search(r"QMSOA_WIRE_", text), path)

    def test_a_long_call_is_cut_under_its_parenthesis(self):
        line = "void Type::outputXML(Xml::XmlStream& out, const std::string& elementName) const {"
        cut = gen.fit("    " * 5 + line)
        self.assertEqual(len(cut), 2)
        self.assertTrue(all(len(part) <= gen.WIDTH for part in cut))
        self.assertEqual(cut[1].index("const"), cut[0].index("(") + 1)
        self.assertEqual(gen.fit("x" * 120), ["x" * 120])


if __name__ == "__main__":
    unittest.main()
