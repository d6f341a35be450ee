"""The xlsx package as a graph of parts, kept across a load and a save.

* `xml`: raw XML of parts (a part split at its root's children, the root's
  start tag, attribute edits that leave the other bytes as written);
* `elements`: the elements of a part kept as read or written from the
  model in their schema place (`Layout`, `Schema`, `PartContext`);
* `package`: the package writer (`PackageWriter`): parts, relationships,
  content types, and the parts kept from the source copied as they are;
* `source`: the file a workbook was loaded from (`SourcePackage`);
* `removal`: what removing a sheet takes with it.
"""
