# GIF through our own decoder (gif/), on every target.
zem_codec_backend(gif SOURCES GifCodec.cpp LIBS zem_gif)
