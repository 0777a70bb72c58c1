"""The address store as scripts reach it: the station's rules come through
whole, its refusals arrive as AddressStoreError with its text, and an
answer that is not the station's is never taken for one."""

import copy
import pickle
import stat

import pytest

from nivoratest import _library, addresses
from nivoratest.addresses import AddressStore, AddressStoreError


def test_a_serial_keeps_its_address_and_states_only_move_forward(store_db):
    store = AddressStore(store_db)
    first = store.take("SN-1", 0x5B, 2)
    assert (first.address, first.state, first.serial, first.new) == ("005B:02:000100", "reserved", "SN-1", True)
    assert first.words == [0x00, 0x0100, 0x02, 0x005B]
    assert addresses.address_text(first.words) == first.address
    again = store.take("SN-1", 0x5B, 2)
    assert (again.address, again.new) == (first.address, False)
    # A serial that looks like an option is still a serial.
    assert store.take("-n", 0x5B, 2).address == "005B:02:000101"

    assert store.mark(first, "written", serial="SN-1").state == "written"
    with pytest.raises(AddressStoreError, match="cannot become committed from its state") as refused:
        store.mark(first.address, "committed")
    assert (refused.value.command, refused.value.status) == ("mark", 2)
    with pytest.raises(AddressStoreError, match="belongs to serial SN-1, not to serial SN-2"):
        store.mark(first, "verified", serial="SN-2")
    with pytest.raises(AddressStoreError, match="needs a --reason"):
        store.mark(first, "scrapped")
    assert store.show(address="005b:02:000100").state == "written"
    assert store.show(serial="SN-2") is None

    scrapped = store.mark(first, "scrapped", reason="dropped on the floor")
    assert (scrapped.state, scrapped.reason) == ("scrapped", "dropped on the floor")
    # A scrapped address is never given out again, not even to its serial.
    assert store.take("SN-1", 0x5B, 2).address == "005B:02:000102"


def test_refusals_carry_the_stations_text_and_pickle_whole(store_db, tmp_path):
    store = AddressStore(store_db)
    with pytest.raises(AddressStoreError) as no_range:
        store.take("SN-1", 0x5C, 2)
    assert no_range.value.text == "the store has no address range of 005C:02 (station addresses add gives it one)"
    with pytest.raises(AddressStoreError) as bad_nap:
        store.take("SN-1", 0x10000, 2)
    # Refused by the command line: the text from stderr, without the help hint.
    assert bad_nap.value.text == '--nap: "65536" is not a number from 0 to 65535 (decimal or 0x hexadecimal)'
    with pytest.raises(AddressStoreError, match="does not exist"):
        AddressStore(str(tmp_path / "none.db")).show(serial="SN-1")
    with pytest.raises(ValueError):
        store.take("SN\0X", 0x5B, 2)
    with pytest.raises(TypeError):
        store.show(address="005B:02:000100", serial="SN-1")

    for error in (no_range.value, AddressStoreError("not found")):
        for twin in (pickle.loads(pickle.dumps(error)), copy.copy(error)):
            assert type(twin) is AddressStoreError
            assert (twin.text, twin.command, twin.status, str(twin)) == \
                (error.text, error.command, error.status, str(error))


def fake_station(tmp_path, body):
    program = tmp_path / "station"
    program.write_text("#!/bin/sh\n" + body + "\n")
    program.chmod(program.stat().st_mode | stat.S_IXUSR)
    return AddressStore("x.db", station_program=program, timeout=5)


@pytest.mark.parametrize("body, text", [
    ("echo 'not json'", "the station's answer is not JSON: 'not json'"),
    ("echo '[1]'", "the station's answer is not a JSON object: '[1]'"),
    ("echo '{}'; echo '{}'", "the station answered 2 lines, not one"),
    ("echo '{\"address\": \"0x5B:02:000100\", \"state\": \"reserved\"}'", "the station's answer cannot be read"),
    ("echo '{\"address\": \"005B:02:000100\", \"state\": \"lost\"}'", "the station's answer cannot be read"),
    ("echo '{\"error\": \"store down\"}'; exit 2", "store down"),
    ("exit 3", "the station answered 0 lines, not one"),
])
def test_an_answer_that_is_not_the_stations_is_an_error(tmp_path, body, text):
    with pytest.raises(AddressStoreError, match=text.replace("(", r"\(").replace("[", r"\[")):
        fake_station(tmp_path, body).show(serial="SN-1")


def test_a_station_that_does_not_answer_or_is_missing_is_an_error(tmp_path, monkeypatch):
    slow = fake_station(tmp_path, "exec sleep 30")
    slow.timeout = 0.2
    with pytest.raises(AddressStoreError, match="did not answer within 0.2 s"):
        slow.show(serial="SN-1")
    with pytest.raises(AddressStoreError, match="cannot run"):
        AddressStore("x.db", station_program=tmp_path / "nowhere").show(serial="SN-1")

    def no_library():
        raise _library.LibraryNotFoundError([])
    monkeypatch.setattr(_library, "library_path", no_library)
    monkeypatch.setattr(_library, "build_folders", lambda: [tmp_path / "bin"])
    with pytest.raises(AddressStoreError, match="looked in: " + str(tmp_path / "bin")):
        AddressStore("x.db")

