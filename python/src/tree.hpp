#pragma once

#include "python_api.hpp"

namespace sferix::python {

// The tree classes GeodeticPointTree, GeodeticLineStringTree and GeodeticPolygonTree:
// static R-trees built once from Python input by their constructor and then only
// queried. Type names "sferix.GeodeticPointTree" etc.; constructible, not
// subclassable, no __dict__, no weak references, not garbage-collected.
//
// The process-wide type objects, created on first use: borrowed, or nullptr with an
// exception pending. REQUIRES: the GIL is held.
PyTypeObject* point_tree_type();
PyTypeObject* linestring_tree_type();
PyTypeObject* polygon_tree_type();

}  // namespace sferix::python
