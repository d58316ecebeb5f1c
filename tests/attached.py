"""A strategy process's channel attached to a test host, with the framework's files in a folder of the test's."""


def attached_to(host, root):
    """Attach ``comm`` to ``host`` with the file root ``root``; yields the host's command channel, then detaches."""
    from telvar.kestrum import comm
    from telvar.kestrum import sysmodel as cnt

    old_root = cnt.env.fm.root
    cnt.env.fm.set_root(root)
    comm.connect(host.address)
    yield comm.tvcmd
    comm.disconnect()
    cnt.env.fm.set_root(old_root)
