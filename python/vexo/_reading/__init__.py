"""From bytes to numpy: files record by record, the index of a file, parts of it, selections
and times. The only modules that use the extension module."""
