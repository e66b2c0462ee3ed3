import pytest

from quorvel.constant import BASIC_INFO, FLAG, Action, OCType, OrderCond, OrderLot, OrderType, SuccessCode


@pytest.mark.parametrize(
    "member, value",
    [(Action.SELL, "Sell"), (OrderCond.CASH, "Cash"), (OrderLot.COMMON, "Common"), (OCType.AUTO, "Auto")],
)
def test_member_is_its_value_as_exact_str(member, value):
    assert member == value and type(member.value) is str
    assert str(member) == f"{member}" == value


class TestFromValue:
    def test_accepts_value_and_member(self):
        assert Action.from_value("Buy") is Action.BUY
        assert OrderType.from_value(OrderType.IOC) is OrderType.IOC

    @pytest.mark.parametrize("bad", ["buy", None, ["Buy"]])
    def test_error_names_enumeration_and_value(self, bad):
        with pytest.raises(ValueError, match=r"^Action has no member") as info:
            Action.from_value(bad)
        assert repr(bad) in str(info.value)


def test_flags_and_success_codes_are_distinct():
    assert FLAG.exit_send_tick.value != FLAG.finish_backfilling.value
    assert len({member.code for member in SuccessCode}) == 3


def test_data_dir_is_stored_as_expanded_str(tmp_path, monkeypatch):
    monkeypatch.setattr(BASIC_INFO, "data_dir", BASIC_INFO.data_dir)
    monkeypatch.setenv("HOME", str(tmp_path))
    BASIC_INFO.data_dir = tmp_path / "a"
    assert BASIC_INFO.data_dir == str(tmp_path / "a")
    BASIC_INFO.data_dir = "~/b"
    assert BASIC_INFO.data_dir == str(tmp_path / "b")
