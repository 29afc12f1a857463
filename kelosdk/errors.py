"""Exceptions raised for failures of the device library."""

__all__ = [
    "KeloSdkError",
    "KeloSdkInternalException",
    "KeloSdkInvalidOperationError",
    "KeloSdkInvalidArgumentError",
    "KeloSdkNoMemoryException",
    "KeloSdkPointerException",
    "KeloSdkRegbusException",
]


class KeloSdkError(Exception):
    """Base of every exception raised for a failure of the device library.

    ``status`` is the library status that caused it, or None when the binding
    detected the failure itself.
    """

    __slots__ = ()

    status = None


class KeloSdkInternalException(KeloSdkError):
    """The library failed internally (status -1)."""

    __slots__ = ()


class KeloSdkInvalidOperationError(KeloSdkError):
    """The operation is not valid in the device's present state (status -2)."""

    __slots__ = ()


class KeloSdkInvalidArgumentError(KeloSdkError):
    """An argument was refused (status -3)."""

    __slots__ = ()


class KeloSdkNoMemoryException(KeloSdkError):
    """The library ran out of memory (status -4)."""

    __slots__ = ()


class KeloSdkPointerException(KeloSdkError):
    """The library was given an invalid pointer (status -5)."""

    __slots__ = ()


class KeloSdkRegbusException(KeloSdkError):
    """A register-bus access failed (status 102 or 103)."""

    __slots__ = ()


_BY_STATUS = {
    -1: KeloSdkInternalException,
    -2: KeloSdkInvalidOperationError,
    -3: KeloSdkInvalidArgumentError,
    -4: KeloSdkNoMemoryException,
    -5: KeloSdkPointerException,
    102: KeloSdkRegbusException,
    103: KeloSdkRegbusException,
}


def _throwKeloError(status, operation):
    """Raise the exception for a failed library status of ``operation``.

    Statuses that are no failure (0 and above, except 102 and 103) raise
    nothing.
    """
    status = int(status)
    if status >= 0 and status not in (102, 103):
        return
    exc = _BY_STATUS.get(status, KeloSdkError)(f"{operation} failed with status {status}")
    exc.status = status
    raise exc
