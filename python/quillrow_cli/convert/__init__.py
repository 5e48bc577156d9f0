"""quillrow convert: an archive of STS files into one Zarr store, NetCDF file or
Parquet file, read on a Dask cluster (the command's own text: command).

The modules, in the order a conversion meets them:

- signals: SIGINT and SIGTERM, handled from the first line on;
- sources: what the SRC arguments name, in order;
- placement: the temporary output beside OUT, its lock, and the rename;
- schedule: the cluster, the check of every file, the chunks written;
- quiet: the plugin that keeps the local cluster's workers out of Ctrl-C
  and their failures' tracebacks off standard error;
- work: what the workers run (light to import);
- archive: the good files and what the output says about them;
- sinks: one module per output format, behind the registry ``SINKS``;
- base: the errors and names every module shares.

Importing the package imports nothing heavy.
"""
