"""Chunks of whole samples, whatever sizes the pipe's reads come in (1 to 4099 bytes);
run with the interpreter the package is installed for."""

import random
import sys
import unittest

import qztap


class Pipe:
    """Reads that return 1 to 4099 bytes, as a pipe's may."""

    def __init__(self, data, seed):
        self.data, self.position, self.random = data, 0, random.Random(seed)

    def readinto(self, view):
        count = min(len(view), self.random.randint(1, 4099), len(self.data) - self.position)
        view[:count] = self.data[self.position:self.position + count]
        self.position += count
        return count


class ReadSamplesTest(unittest.TestCase):
    def test_chunks_hold_exactly_the_bytes_read_in_whole_samples(self):
        self.assertNotIn("numpy", sys.modules, "importing qztap imports numpy")
        data = random.Random(7).randbytes(200_000)
        for chunk in (1, 320, 333):
            for numpy in (False, True):
                with self.subTest(chunk=chunk, numpy=numpy):
                    chunks = list(qztap.read_samples(Pipe(data, chunk), chunk, numpy))
                    self.assertEqual({len(samples) for samples in chunks}, {chunk})
                    self.assertEqual({str(getattr(s, "dtype", "float32")) for s in chunks},
                                     {"float32"})
                    whole = len(data) - len(data) % (chunk * 4)
                    self.assertEqual(b"".join(s.tobytes() for s in chunks), data[:whole])

    def test_the_installed_package_is_tested(self):
        self.assertTrue(qztap.__file__.startswith(sys.prefix), qztap.__file__)


if __name__ == "__main__":
    unittest.main()
