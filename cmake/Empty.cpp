// Stands in for the sources of a module part that has none yet.
