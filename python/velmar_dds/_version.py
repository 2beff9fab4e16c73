"""The package's version: always the version of the session library it was
made with (VELMAR_DDS_VERSION_STRING in include/velmar/dds.h)."""

__version__ = "1.1.0"
