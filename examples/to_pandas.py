"""One STS file as a pandas DataFrame indexed by its timestamps, without copying.

    python examples/to_pandas.py sample_2021_045.sts

The frame and the index are views of the two arrays read_sts returns: the
value matrix is C-contiguous float32 of one dtype, so pandas can hold it as a
single block (it keeps the transposed view, columns by rows), and a
datetime64[ms] array is a valid DatetimeIndex as it is (pandas 2 and later
keep millisecond resolution).

Where pandas copies anyway:
- The DataFrame constructor copies a NumPy array by default under
  Copy-on-Write (always on from pandas 3.0): pass copy=False to share it.
- With copy=False the frame and the matrix are one buffer, and pandas does
  not track the array as a reference: a write through either (df.iloc[...] =
  or values[...] =) shows in the other.  Take frame.copy() when the two must
  be independent.
- A column taken from the frame is a lazy view: the first write to it copies
  it, and leaves the frame and the matrix untouched.
- frame.to_numpy() gives a read-only view while the frame is one float32
  block; once a column of another dtype is added it must gather the blocks
  into a new array.
- Arithmetic, resampling and every other computation make new arrays.
"""

import sys

import numpy as np
import pandas as pd

import quillrow

# The eleven value columns, named after the channels C01..C11 of the
# generated samples.
COLUMNS = [f"c{i:02d}" for i in range(1, 12)]


def to_frame(timestamps: np.ndarray, values: np.ndarray) -> pd.DataFrame:
    """The frame over read_sts's two arrays, sharing their memory."""
    index = pd.DatetimeIndex(timestamps, copy=False, name="time")
    return pd.DataFrame(values, index=index, columns=COLUMNS, copy=False)


def main(path: str) -> None:
    timestamps, values = quillrow.read_sts(path)
    frame = to_frame(timestamps, values)

    print(frame.head())
    print(f"{len(frame)} rows, index {frame.index.dtype}, values {frame.dtypes.iloc[0]}")
    print("values shared with the matrix:", np.shares_memory(frame.to_numpy(), values))
    print("index shared with the timestamps:", np.shares_memory(frame.index.to_numpy(), timestamps))
    print(frame[["c01", "c02", "c03"]].resample("1h").mean().round(3).head())


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: to_pandas.py FILE.sts")
    main(sys.argv[1])
