"""valdrix: native helpers for an AI image-generation back end.

Import the module you need, e.g. ``from valdrix.response.faultum import ErrorCode``.
"""

__version__ = "0.1.0"
