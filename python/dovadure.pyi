"""In-process approximate-nearest-neighbour search over a segment snapshot."""
