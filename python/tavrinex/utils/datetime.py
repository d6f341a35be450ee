"""Excel serial dates (in progress)."""

import datetime

WINDOWS_EPOCH = datetime.datetime(1899, 12, 30)
MAC_EPOCH = datetime.datetime(1904, 1, 1)


def from_excel(value, epoch=WINDOWS_EPOCH, timedelta=False):
    raise NotImplementedError("date conversion is being written")


def to_excel(dt, epoch=WINDOWS_EPOCH):
    raise NotImplementedError("date conversion is being written")


def from_ISO8601(formatted_string):
    raise NotImplementedError("date conversion is being written")
