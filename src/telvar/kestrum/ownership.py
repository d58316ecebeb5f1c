"""Which files telvar may delete.

Readers remove files once they are done with them (a host's answer) or when
they cannot use them (an unreadable cache entry). They remove only telvar's
own files: those under the file manager's root (``cnt.env.fm.root``, which
holds the caches) and those in the answer folder of the host the process is
attached to (``telvar.kestrum.comm.answer_folder()``). A path is judged by where it
really leads: a symbolic link inside either folder that points out of it
does not make its target telvar's, and it is left in place too. Any other
file - a path a fake host answered, a user's file named by mistake - is
left alone; a reader that could not use it says so.
"""
import os

from telvar.kestrum.cachescope import is_inside


def owned_folders():
    """Real paths of the folders whose files telvar may delete (the file manager's root first)."""
    from telvar.kestrum import comm
    from telvar.kestrum import sysmodel as cnt

    folders = [cnt.env.fm.root]
    answers = comm.answer_folder()
    if answers:
        folders.append(answers)
    return [os.path.realpath(folder) for folder in folders]


def is_owned(path):
    """True when ``path`` really leads to a file below one of ``owned_folders()``."""
    try:
        real = os.path.realpath(os.fspath(path))
    except (TypeError, ValueError):
        return False
    return any(real != folder and is_inside(real, folder) for folder in owned_folders())


def remove_owned(path, unusable_because=None):
    """Delete the file ``path`` when it is telvar's own; True when it was removed.

    A file that is not telvar's is left in place. ``unusable_because`` (why
    the caller could not use the file): the strategy author is told that it
    was left there, so that a damaged file of theirs does not go unnoticed.
    """
    if not path or not isinstance(path, (str, os.PathLike)):
        return False
    if not os.path.lexists(path) or os.path.isdir(path):
        return False
    if is_owned(path):
        try:
            os.remove(path)
        except OSError:
            return False
        return True
    if unusable_because is not None:
        from telvar.kestrum.language import text
        from telvar.kestrum.utils.logger import user_warning

        user_warning(text.WARN_FILE_LEFT_IN_PLACE.format(PATH=os.fspath(path), REASON=unusable_because),
                     stacklevel=3)
    return False


__all__ = ["owned_folders", "is_owned", "remove_owned"]
