"""The one exception type of the package."""


class QuillboxError(Exception):
    """A call into the library failed, or the library could not be loaded.

    `function` names the C function that failed (None when loading failed). The
    message is the library's error text when a background writer has failed, and
    otherwise names the function and the arguments that matter.
    """

    def __init__(self, message, function=None):
        super().__init__(message)
        self.function = function
