"""What the host and the framework share below both of them.

``timeconv`` (serial day numbers, YYYYMMDD dates, epoch days and minutes),
``frequencies`` (the frequency codes), ``userdirs`` (the user's own telvar
folders).  Nothing here imports the host or the framework.
"""
