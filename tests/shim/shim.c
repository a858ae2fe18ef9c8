/* The test shim library: C entry points into the internals live beside this
 * file, one file per area. */
