"""Whole archives: inputs, rows, outputs, Parquet and NetCDF, one input converted."""
