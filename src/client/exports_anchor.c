/* libtarvik.so is the core archive linked whole; this file only gives the
 * shared library target a source of its own. */
typedef int tarvik_exports_anchor;
