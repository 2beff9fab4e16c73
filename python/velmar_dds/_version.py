"""The package's version: always the version of the library it was made with
(VELMAR_DLL_VERSION_STRING in include/VelmarDll.h)."""

__version__ = "1.0.0"
