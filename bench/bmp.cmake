# BMP: GetPicture of a large 24-bit file against a plain read() of it, and RLE8 decode speed.
zem_add_bench(bmp_bench SOURCES bmp_bench.cpp LIBS zem_bmp PLUGINS bmpsrc)
