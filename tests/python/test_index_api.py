"""The surface of `dovadure.Index`: signatures, docstrings, and every argument
and load failure with its exception type and text, in check order."""

import inspect
import pathlib
import struct
import zlib

import numpy as np
import pytest

import dovadure
import snapshot_writer as sw

D = 8
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


@pytest.fixture(scope="module")
def data():
    return np.random.default_rng(7).standard_normal((40, D)).astype(np.float32)


@pytest.fixture(scope="module")
def snap(tmp_path_factory, data):
    return sw.write_knn_snapshot(tmp_path_factory.mktemp("api") / "seg.snap", data)


@pytest.fixture(scope="module")
def index(snap):
    return dovadure.Index(snap)


def misaligned(shape):
    """A C-contiguous float32 array whose data starts one byte off alignment."""
    count = int(np.prod(shape))
    buf = bytearray(count * 4 + 1)
    arr = np.frombuffer(buf, dtype=np.float32, count=count, offset=1).reshape(shape)
    assert not arr.flags.aligned and arr.flags.c_contiguous
    return arr


class TestModuleSurface:
    def test_module_exports_only_the_index_class(self):
        own = [n for n in dir(dovadure) if not n.startswith("__")]
        assert own == ["Index"]
        assert dovadure.Index.__module__ == "dovadure"
        assert dovadure.Index.__bases__ == (object,)

    def test_signatures_are_introspectable(self):
        assert str(inspect.signature(dovadure.Index)) == "(path, quantize=False)"
        assert (
            str(inspect.signature(dovadure.Index.search))
            == "(self, /, query, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2)"
        )
        assert (
            str(inspect.signature(dovadure.Index.search_batch))
            == "(self, /, queries, k=20, ef=128, sq8_screen=False, scan_cap=0, patience=2, "
            "threads=1)"
        )
        assert str(inspect.signature(dovadure.Index.dim)) == "(self, /)"

    def test_docstrings(self):
        doc = dovadure.Index.__doc__
        first, second = doc.split("\n\n")
        assert "in-memory approximate-nearest-neighbour index" in first.lower()
        assert "Vivudu segment snapshot" in first
        assert "interpreter lock" in second and "copied" in second and "alias" in second
        assert dovadure.Index.search.__doc__ == (
            "Search one query. Returns `(ids uint64[k], scores float32[k])`.\n\n"
            "`scores` are raw Vivudu scores; `scan_cap=0` means uncapped L0 scans."
        )
        assert dovadure.Index.search_batch.__doc__ == (
            "Search contiguous float32 queries with shape `[n, dim]`.\n\n"
            "Returns `(ids uint64[n, k], scores float32[n, k])`, padding short rows\n"
            "with `uint64::MAX` and `NaN`. Native workers are capped to the machine's\n"
            "available parallelism; `threads=0` and `threads=1` run sequentially."
        )
        assert not dovadure.Index.dim.__doc__

    def test_dim_and_len_are_python_ints(self, index, data):
        assert type(index.dim()) is int and index.dim() == D
        assert type(len(index)) is int and len(index) == len(data)

    def test_type_stub_matches_the_module(self):
        stub = pathlib.Path(dovadure.__file__).with_name("dovadure.pyi")
        if not stub.exists():  # built in place rather than installed
            stub = pathlib.Path(__file__).parents[2] / "python" / "dovadure.pyi"
        text = stub.read_text()
        for name in ("class Index", "def search(", "def search_batch(", "def dim(", "def __len__("):
            assert name in text


class TestConstructor:
    def test_missing_file_is_the_io_error_text(self, tmp_path):
        with pytest.raises(RuntimeError) as e:
            dovadure.Index(str(tmp_path / "absent.snap"))
        assert str(e.value) == "I/O error: No such file or directory (os error 2)"

    def test_path_must_be_str(self, snap):
        with pytest.raises(TypeError, match=r"Index\(\) argument 'path' must be str, not bytes"):
            dovadure.Index(snap.encode())
        with pytest.raises(TypeError, match=r"argument 'path' must be str, not PosixPath"):
            dovadure.Index(pathlib.Path(snap))
        with pytest.raises(ValueError, match="'path': embedded null character"):
            dovadure.Index(snap + "\0x")

    def test_quantize_must_be_bool(self, snap):
        with pytest.raises(TypeError, match=r"argument 'quantize' must be bool, not int"):
            dovadure.Index(snap, 1)
        # Argument conversion runs in order: the path fails first.
        with pytest.raises(TypeError, match="'path'"):
            dovadure.Index(b"x", quantize=1)

    def test_arguments_by_position_and_keyword(self, snap):
        assert len(dovadure.Index(snap, True)) == len(dovadure.Index(path=snap, quantize=False))
        with pytest.raises(TypeError):
            dovadure.Index()
        with pytest.raises(TypeError):
            dovadure.Index(snap, False, 3)
        with pytest.raises(TypeError):
            dovadure.Index(snap, quantise=True)

    def test_checksum_mismatch(self, tmp_path, data):
        raw = bytearray(sw.encode_snapshot(sw.knn_graph(data)))
        raw[-1] ^= 0xFF
        path = tmp_path / "bad.snap"
        path.write_bytes(raw)
        with pytest.raises(RuntimeError) as e:
            dovadure.Index(str(path))
        assert str(e.value) == "Serialization error: segment snapshot checksum mismatch"

    def test_unsupported_version(self, tmp_path, data):
        raw = bytearray(sw.encode_snapshot(sw.knn_graph(data)))
        raw[4:8] = struct.pack("<I", 4)
        content = bytes(raw[:-8])
        path = tmp_path / "v4.snap"
        path.write_bytes(content + b"VDBF" + struct.pack("<I", zlib.adler32(content)))
        with pytest.raises(RuntimeError) as e:
            dovadure.Index(str(path))
        assert str(e.value) == "Serialization error: unsupported segment snapshot version 4"

    def test_truncated_body(self, tmp_path, data):
        content = sw.encode_snapshot(sw.knn_graph(data))[:-8]
        content = content[: len(content) // 2]  # no footer, no trailer, half a body
        path = tmp_path / "cut.snap"
        path.write_bytes(content)
        with pytest.raises(RuntimeError) as e:
            dovadure.Index(str(path))
        assert str(e.value) == "Serialization error: io error: unexpected end of file"

    def test_zero_dimension_index_is_refused(self, tmp_path):
        # A segment never given a vector loads as an empty index of dimension
        # 0; the module refuses it with its own error, not the loader's.
        path = tmp_path / "dim0.snap"
        sw.write_snapshot(path, sw.Graph(dim=0))
        with pytest.raises(ValueError) as e:
            dovadure.Index(str(path))
        assert type(e.value) is ValueError
        assert str(e.value) == "the loaded index has zero dimensions"


class TestSearchValidation:
    def test_query_must_be_a_1d_float32_array(self, index, data):
        for bad, what in [
            (data[0].astype(np.float64), "float64"),
            (list(data[0]), "list"),
            (data[:2], "2-dimensional"),
            (np.float32(1.0), "numpy.float32"),
            (data[0].astype(">f4"), "non-native byte order"),
        ]:
            with pytest.raises(TypeError, match="search\\(\\) argument 'query' must be a "
                               "1-dimensional float32 numpy.ndarray") as e:
                index.search(bad)
            assert what in str(e.value)

    def test_reversed_view_is_not_contiguous(self, index, data):
        with pytest.raises(TypeError) as e:
            index.search(data[0][::-1])
        assert str(e.value) == NOT_CONTIGUOUS

    def test_misaligned_query(self, index):
        with pytest.raises(TypeError) as e:
            index.search(misaligned((D,)))
        assert str(e.value) == NOT_CONTIGUOUS

    def test_contiguity_is_checked_before_the_dimension(self, index):
        strided = np.zeros(2 * (D + 3), dtype=np.float32)[::2]
        with pytest.raises(TypeError) as e:
            index.search(strided)
        assert str(e.value) == NOT_CONTIGUOUS

    def test_dimension_mismatch(self, index):
        with pytest.raises(ValueError) as e:
            index.search(np.zeros(0, dtype=np.float32))
        assert str(e.value) == f"query dimension mismatch: expected {D}, got 0"
        with pytest.raises(ValueError) as e:
            index.search(np.zeros(D + 1, dtype=np.float32))
        assert str(e.value) == f"query dimension mismatch: expected {D}, got {D + 1}"
        # An empty array skips the contiguity check, also as a strided view.
        with pytest.raises(ValueError, match="expected 8, got 0"):
            index.search(np.zeros(4, dtype=np.float32)[::-2][:0])

    def test_first_non_finite_value_is_reported(self, index):
        q = np.zeros(D, dtype=np.float32)
        q[3] = np.nan
        with pytest.raises(ValueError) as e:
            index.search(q)
        assert str(e.value) == "query contains a non-finite value at flat index 3"
        q[1] = np.inf
        with pytest.raises(ValueError, match="at flat index 1$"):
            index.search(q)
        q = np.zeros(D, dtype=np.float32)
        q[D - 1] = -np.inf
        with pytest.raises(ValueError, match=f"at flat index {D - 1}$"):
            index.search(q)
        # The largest finite values are accepted.
        q[:] = np.finfo(np.float32).max
        q[0] = -np.finfo(np.float32).max
        index.search(q, k=1)

    def test_dimension_is_checked_before_finiteness(self, index):
        q = np.full(D + 1, np.nan, dtype=np.float32)
        with pytest.raises(ValueError, match="dimension mismatch"):
            index.search(q)

    def test_integer_arguments(self, index, data):
        q = data[0]
        with pytest.raises(OverflowError, match=r"search\(\) argument 'k'"):
            index.search(q, k=-1)
        with pytest.raises(OverflowError, match=r"argument 'ef'"):
            index.search(q, ef=2**64)
        with pytest.raises(OverflowError, match=r"argument 'scan_cap'"):
            index.search(q, scan_cap=-5)
        with pytest.raises(OverflowError, match=r"argument 'patience'"):
            index.search(q, patience=-1)
        with pytest.raises(TypeError, match=r"argument 'k' must be int, not float"):
            index.search(q, k=1.0)
        with pytest.raises(TypeError, match=r"argument 'sq8_screen' must be bool, not int"):
            index.search(q, sq8_screen=1)
        # Anything with __index__ converts like an int.
        ids, _ = index.search(q, k=np.uint64(3), ef=2**64 - 1, patience=2**64 - 1)
        assert len(ids) == 3

    def test_arguments_convert_in_order_before_any_value_check(self, index):
        with pytest.raises(TypeError, match="'query'"):
            index.search([1.0] * D, k=-1)
        with pytest.raises(OverflowError, match="'k'"):
            index.search(np.full(D, np.nan, dtype=np.float32), k=-1)

    def test_k_zero_returns_empty_arrays_without_searching(self, index, data):
        ids, scores = index.search(data[0], k=0)
        assert ids.shape == (0,) and ids.dtype == np.uint64
        assert scores.shape == (0,) and scores.dtype == np.float32
        # Validation still runs first.
        with pytest.raises(ValueError, match="non-finite"):
            index.search(np.full(D, np.nan, dtype=np.float32), k=0)

    def test_positional_and_keyword_arguments(self, index, data):
        a = index.search(data[1], 5, 64, False, 0, 2)
        b = index.search(query=data[1], k=5, ef=64, sq8_screen=False, scan_cap=0, patience=2)
        np.testing.assert_array_equal(a[0], b[0])
        with pytest.raises(TypeError):
            index.search(data[1], 5, 64, False, 0, 2, 9)
        with pytest.raises(TypeError):
            index.search(data[1], threads=2)


class TestSearchBatchValidation:
    def test_queries_must_be_a_2d_float32_array(self, index, data):
        for bad in (data.astype(np.float64), data[0], data.tolist(), data[None]):
            with pytest.raises(TypeError, match=r"search_batch\(\) argument 'queries' must be a "
                               "2-dimensional float32 numpy.ndarray"):
                index.search_batch(bad)

    def test_dimension_is_checked_before_layout(self, index):
        f_order = np.asfortranarray(np.zeros((3, D + 1), dtype=np.float32))
        with pytest.raises(ValueError) as e:
            index.search_batch(f_order)
        assert str(e.value) == f"query dimension mismatch: expected {D}, got {D + 1}"

    def test_fortran_order_is_refused(self, index, data):
        with pytest.raises(ValueError) as e:
            index.search_batch(np.asfortranarray(data[:4]))
        assert str(e.value) == "queries must be C-contiguous (row-major)"
        with pytest.raises(ValueError, match="C-contiguous"):
            index.search_batch(np.zeros((4, 2 * D), dtype=np.float32)[:, ::2])

    def test_misaligned_matrix(self, index):
        with pytest.raises(TypeError) as e:
            index.search_batch(misaligned((3, D)))
        assert str(e.value) == NOT_CONTIGUOUS

    def test_non_finite_flat_index_is_row_major(self, index):
        q = np.zeros((4, D), dtype=np.float32)
        q[2, 5] = np.nan
        q[3, 0] = np.inf
        with pytest.raises(ValueError) as e:
            index.search_batch(q)
        assert str(e.value) == "queries contains a non-finite value at flat index 21"

    @pytest.mark.parametrize(
        "rows,k,text",
        [
            (1, 2**63, "batch output column count exceeds NumPy's platform limit"),
            (3, 2**63 - 1, "batch output shape overflows usize"),
            (2, 2**63 - 1, "batch ID output size overflows usize"),
            (1, 2**61, "batch ID output size overflows usize"),
            (2, 2**59, "batch output exceeds NumPy's platform limit"),
            (1, 89478486, "batch output requires 1073741832 bytes; limit is 1073741824"),
            (2, 44739243, "batch output requires 1073741832 bytes; limit is 1073741824"),
        ],
    )
    def test_output_size_limits(self, index, rows, k, text):
        with pytest.raises(OverflowError) as e:
            index.search_batch(np.zeros((rows, D), dtype=np.float32), k=k)
        assert str(e.value) == text

    def test_size_checks_come_after_value_checks(self, index):
        q = np.zeros((1, D), dtype=np.float32)
        q[0, 0] = np.nan
        with pytest.raises(ValueError, match="non-finite"):
            index.search_batch(q, k=2**63)

    def test_empty_shapes_return_without_searching(self, index, data):
        ids, scores = index.search_batch(data[:3], k=0)
        assert ids.shape == (3, 0) and ids.dtype == np.uint64
        assert scores.shape == (3, 0) and scores.dtype == np.float32
        ids, scores = index.search_batch(np.zeros((0, D), dtype=np.float32), k=7)
        assert ids.shape == (0, 7) and scores.shape == (0, 7)
        # n = 0 passes every size check whatever k is (up to the column limit).
        ids, _ = index.search_batch(np.zeros((0, D), dtype=np.float32), k=2**59)
        assert ids.shape == (0, 2**59)
        # An empty matrix of the wrong width is still a dimension mismatch.
        with pytest.raises(ValueError, match="expected 8, got 3"):
            index.search_batch(np.zeros((0, 3), dtype=np.float32))

    def test_integer_arguments(self, index, data):
        with pytest.raises(OverflowError, match=r"search_batch\(\) argument 'threads'"):
            index.search_batch(data[:2], threads=-1)
        with pytest.raises(OverflowError, match="argument 'k'"):
            index.search_batch(data[:2], k=-1)
        with pytest.raises(TypeError, match="argument 'threads' must be int, not str"):
            index.search_batch(data[:2], threads="2")
        with pytest.raises(TypeError, match="argument 'sq8_screen' must be bool"):
            index.search_batch(data[:2], sq8_screen=None)
