"""The compression of ``klimora grid``'s output: each column's chunk turned
into the bytes its file stores, where the block is computed, so that the
compressing is spread over the workers and the writer only stores bytes.

Float64 results have random low mantissa bytes: what compresses is the
sign, the exponent and the high mantissa, and a byte shuffle (byte k of
every value together) puts those side by side.  The default is the
shuffle and deflate that HDF5 has built in (and Zarr's Shuffle and Zlib):
every NetCDF-4 and Zarr reader opens it, ncdump, netCDF-C, h5py, CDO, NCO
and Panoply with no filter plugin.  The deflate stream is written by
ISA-L (the package ``isal``) where it is installed, the standard library's
zlib otherwise: on the chain's columns ISA-L at level 1 is 8 to 11 times
as fast as zlib at level 1 and 3 to 4 times as fast as libdeflate at its
fastest, for 1 to 3 % more bytes.  Blosc's lz4 and zstd, faster still,
need HDF5's Blosc or zstd filter plugin to be read.
"""

from __future__ import annotations

import itertools
import math
import threading
from typing import Any, Callable, Optional

import numpy as np

#: deflate(data, level): a zlib stream (RFC 1950) of ``data``, by ISA-L (the
#: same stream as the standard library's, many times faster) where it is
#: installed.
deflate: Callable[[Any, int], bytes]
try:
    from isal.isal_zlib import compress as deflate
except ImportError:   # pragma: no cover - isal comes with the grid extra
    from zlib import compress as deflate

#: --compression: name -> (NetCDF-4 arguments of netCDF4's createVariable,
#: the Zarr compressor's name and arguments).  The bytes are shuffled
#: first: for zlib by HDF5's shuffle filter and, in Zarr, numcodecs'
#: Shuffle filter before Zlib; for lz4 by Blosc's own shuffle (HDF5's
#: Blosc filter, 32001, a plugin); in Zarr by Blosc's.  netCDF4 sets HDF5's
#: shuffle only with zlib: zstd in NetCDF-4 goes unshuffled (1.39 times
#: smaller, against 1.65 shuffled).
COMPRESSION: dict[str, tuple[dict[str, Any], Optional[tuple[str, dict[str, Any]]]]] = {
    "zlib": ({"compression": "zlib", "complevel": 1, "shuffle": True},
             ("Zlib", {"level": 1})),
    "lz4": ({"compression": "blosc_lz4", "complevel": 1, "blosc_shuffle": 1},
            ("Blosc", {"cname": "lz4", "clevel": 1, "shuffle": 1})),
    "zstd": ({"compression": "zstd", "complevel": 1},
             ("Blosc", {"cname": "zstd", "clevel": 1, "shuffle": 1})),
    "none": ({}, None),
}
#: The default --compression: read everywhere without plugins.
DEFAULT = "zlib"
#: Bytes of a NetCDF-4 (HDF5) chunk at most: a reader of one map or one
#: cell's series then decompresses little it does not want.
HDF5_CHUNK_BYTES = 4 << 20

#: Cells of a block transposed at a time: their fifteen columns of float64
#: (240 kB) stay in cache between reading and writing them.
TRANSPOSED_CELLS = 2048

Region = tuple[slice, ...]
Parts = list[tuple[int, tuple[int, ...], Any]]


def zarr_codecs(compression: str, dtype: str) -> tuple[Optional[list[Any]], Any]:
    """The Zarr filters (or None) and compressor (or None) of ``compression``
    for values of ``dtype``: zlib's bytes shuffled by a filter of their own,
    as HDF5 does."""
    import numcodecs

    _, codec = COMPRESSION[compression]
    compressor = getattr(numcodecs, codec[0])(**codec[1]) if codec else None
    if compression == "zlib":
        return [numcodecs.Shuffle(elementsize=np.dtype(dtype).itemsize)], compressor
    return None, compressor


def hdf5_chunks(chunks: tuple[tuple[int, ...], ...], itemsize: int = 8) -> tuple[int, ...]:
    """HDF5 chunk sizes that tile each dask block: the block's own, halved
    along the outer dimensions (where that divides them) to at most
    :data:`HDF5_CHUNK_BYTES` of ``itemsize`` bytes a value."""
    sizes = [max(c[0], 1) for c in chunks]
    for axis in range(len(sizes)):
        while itemsize * math.prod(sizes) > HDF5_CHUNK_BYTES and sizes[axis] % 2 == 0:
            sizes[axis] //= 2
    return tuple(sizes)


class Scratch(threading.local):
    """A thread's buffers, kept from one block to the next: a block's
    columns apart, the shuffled bytes of a chunk and the NaN-filled chunk
    at the grid's edge.  Each piece in them is compressed into bytes of its
    own before the next one overwrites it."""

    def __init__(self) -> None:
        self.shuffled = np.empty(0, dtype=np.uint8)
        self.columns = np.empty(0, dtype=np.uint8)
        self.edges: dict[tuple[Any, tuple[int, ...]], Any] = {}

    def by_column(self, piece: Any, dtype: str) -> Any:
        """The columns of ``piece`` (cells along its first axes, columns
        along its last) one after another, as ``dtype``, in this thread's
        buffer, overwritten by the next piece.  A block as dask computes it
        holds a cell's columns side by side: taking each column on its own
        would read the whole block once per column, where the block
        transposed a few thousand cells at a time is read once, from
        cache (three times as fast)."""
        count, shape = piece.shape[-1], piece.shape[:-1]
        if not piece.flags.c_contiguous:   # the columns apart already, or a corner of a block
            return np.moveaxis(piece, -1, 0).astype(dtype, copy=False)
        cells, size = math.prod(shape), np.dtype(dtype).itemsize
        if self.columns.size < cells * count * size:
            self.columns = np.empty(cells * count * size, dtype=np.uint8)
        columns = self.columns[:cells * count * size].view(dtype).reshape(count, cells)
        flat = piece.reshape(cells, count)
        for start in range(0, cells, TRANSPOSED_CELLS):
            np.copyto(columns[:, start:start + TRANSPOSED_CELLS],
                      flat[start:start + TRANSPOSED_CELLS].T, casting="same_kind")
        return columns.reshape(count, *shape)

    def bytes_for(self, size: int) -> Any:
        if self.shuffled.size < size:
            self.shuffled = np.empty(size, dtype=np.uint8)
        return self.shuffled[:size]

    def edge(self, dtype: str, shape: tuple[int, ...]) -> Any:
        """A chunk of NaN for a piece to be copied into, at its corner."""
        key = (dtype, shape)
        if key not in self.edges:
            self.edges.clear()
            self.edges[key] = np.empty(shape, dtype=dtype)
        full = self.edges[key]
        full.fill(np.nan)
        return full


SCRATCH = Scratch()


class Encoder:
    """Turns a block of every column (stacked along the last axis) into the
    stored bytes of its chunks, as the file's own filters would.  The
    values are stored as ``dtype``; a chunk at the edge of the grid is
    filled up with NaN to its full size, as both formats store it."""

    def __init__(self, kind: str, compression: str, chunk: tuple[int, ...],
                 dtype: str = "float64") -> None:
        self.kind, self.compression, self.chunk = kind, compression, chunk
        self.dtype = dtype

    def __call__(self, values: Any, region: Region) -> Parts:
        starts = [r.start for r in region]
        parts = []
        for offset in itertools.product(*(range(s, r.stop, c) for s, r, c
                                          in zip(starts, region, self.chunk))):
            local = tuple(slice(o - s, min(o - s + c, r.stop - s))
                          for o, s, r, c in zip(offset, starts, region, self.chunk))
            columns = SCRATCH.by_column(values[tuple(local)], self.dtype)
            for k, piece in enumerate(columns):
                if piece.shape != self.chunk:
                    full = SCRATCH.edge(self.dtype, self.chunk)
                    full[tuple(slice(0, n) for n in piece.shape)] = piece
                    piece = full
                # As arrays: dask.distributed sends them without copying.
                parts.append((k, offset, np.frombuffer(self.encode(np.ascontiguousarray(piece)),
                                                       dtype=np.uint8)))
        return parts

    def encode(self, chunk: Any) -> bytes:
        import numcodecs

        if self.compression == "none":
            return bytes(chunk.tobytes())
        if self.compression == "zlib":
            # HDF5's shuffle (or Zarr's Shuffle), then one zlib stream, as
            # HDF5's deflate filter and numcodecs' Zlib store it.
            # The shuffle as a transposed copy: NumPy's is faster than
            # numcodecs' Shuffle and lets the other threads run meanwhile.
            shuffled = SCRATCH.bytes_for(chunk.nbytes)
            size = chunk.itemsize
            np.copyto(shuffled.reshape(size, -1),
                      chunk.reshape(-1).view(np.uint8).reshape(-1, size).T)
            return deflate(shuffled, 1)
        if self.kind == "zarr" or self.compression == "lz4":
            # A Blosc frame, as Zarr stores it and HDF5's Blosc filter too.
            _, codec = COMPRESSION[self.compression]
            assert codec is not None
            name, arguments = codec
            return bytes(getattr(numcodecs, name)(**arguments).encode(chunk))
        # HDF5's zstd filter: one zstd frame
        return bytes(numcodecs.Zstd(level=1).encode(chunk))
