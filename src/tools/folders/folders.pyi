from os import PathLike

class Folder:
    __slots__ = ()
    @staticmethod
    def exists(path: str | PathLike[str]) -> bool:
        """Tell whether `path` names an existing folder."""
    @staticmethod
    def create(path: str | PathLike[str], recursive: bool | None = True) -> None:
        """Create the folder `path`, and its missing parents when `recursive`."""
    @staticmethod
    def count(
        path: str | PathLike[str],
        files: bool | None = True,
        folders: bool | None = False,
        mask: str | None = "*",
        recursive: bool | None = False,
    ) -> int:
        """Count the files and/or folders in `path`, or everything below it when `recursive`."""
    @staticmethod
    def remove(path: str | PathLike[str], recursive: bool | None = False) -> None:
        """Remove the empty folder `path`, or the folder and all its content when `recursive`."""
