"""Template variables of a cluster node and the filling of {{NAME}} placeholders."""
import random
import re
from types import SimpleNamespace

import pytest

def filled_by_re(template, variables):
    """What re.sub gives when each variable is substituted in turn."""
    result = template
    for var_name, value in variables.items():
        pattern = r"\{\{" + re.escape(var_name) + r"\}\}"
        result = re.sub(pattern, "None" if value is None else value, result)
    return result


NAME_PIECES = ["A", "x", "_", "7", "é", "Ω", "名", ".", "-", "*", "(", "$", "\\", "{", "}", " ", "[a]"]
VALUE_PIECES = ["plain", "\\", "\\\\", "\\n", "\\t", "\\0", "\\07", "\\101", "\\8", "\\12", "\\g<0>",
                "\\g<name>", "\\g<", "\\.", "\\d", "\\é", "{", "}", "{{", "}}", "é", "9", "\\{", " "]


def random_case(rng):
    names = ["".join(rng.choices(NAME_PIECES, k=rng.randint(1, 4))) for _ in range(rng.randint(1, 4))]
    variables = {}
    for var_name in names:
        if rng.random() < 0.1:
            variables[var_name] = None
        else:
            variables[var_name] = "".join(rng.choices(VALUE_PIECES, k=rng.randint(0, 4)))
    pieces = [f"{{{{{n}}}}}" for n in names] + ["text ", "{{", "}}", "{{LEFT}}", "\n", "\\1"]
    template = "".join(rng.choices(pieces, k=rng.randint(0, 8)))
    return template, variables


@pytest.mark.parametrize("seed", range(40))
def test_filling_matches_re_sub(make_node, host_log, seed):
    rng = random.Random(seed)
    node = make_node()
    for _ in range(25):
        template, variables = random_case(rng)
        try:
            expected = filled_by_re(template, variables)
        except Exception as exc:
            with pytest.raises(type(exc)):
                node._process_template(template, variables)
            continue
        host_log.calls.clear()
        assert node._process_template(template, variables) == expected, (template, variables)
        remaining = re.findall(r"\{\{(\w+)\}\}", expected)
        if remaining:
            assert host_log.calls == [((f"Warning: Unreplaced template variables: {remaining}",),
                                       {"level": "warning"})]
        else:
            assert host_log.calls == []


@pytest.mark.parametrize("value, expected", [
    ("a\\nb", "a\nb"),
    ("a\\.b", "a\\.b"),
    ("\\101\\0", "A\x00"),
    (None, "None"),
    ("<\\g<0>>", "<{{V}}>"),
])
def test_escapes_in_values(make_node, host_log, value, expected):
    assert make_node()._process_template("[{{V}}]", {"V": value}) == f"[{expected}]"


@pytest.mark.parametrize("value, error", [
    ("\\d", re.error), ("ends\\", re.error), ("\\1", re.error), ("\\g<1>", re.error), ("\\g<name>", IndexError),
])
def test_invalid_escape_fails_even_without_placeholder(make_node, host_log, value, error):
    with pytest.raises(error):
        make_node()._process_template("no placeholders", {"V": value})


def test_leftover_placeholders_are_reported_once_in_order(make_node, host_log):
    template = "{{RUN_LABEL}} {{ JOB_NAME }} {{RUN_LABEL}} {{NSTEPS}} {{RUN-LABEL}} {{job_name}} {{JOB_NAME}}"
    result = make_node()._process_template(template, {"JOB_NAME": "j"})
    assert result == "{{RUN_LABEL}} {{ JOB_NAME }} {{RUN_LABEL}} {{NSTEPS}} {{RUN-LABEL}} {{job_name}} j"
    assert host_log.calls == [(("Warning: Unreplaced template variables: "
                                "['RUN_LABEL', 'RUN_LABEL', 'NSTEPS', 'job_name']",), {"level": "warning"})]


def test_substitution_is_sequential(make_node, host_log):
    node = make_node()
    assert node._process_template("{{A}}", {"A": "{{B}}", "B": "x"}) == "x"
    assert host_log.calls == []
    assert node._process_template("{{A}}", {"B": "x", "A": "{{B}}"}) == "{{B}}"
    assert host_log.messages == ["Warning: Unreplaced template variables: ['B']"]


@pytest.mark.parametrize("variables, type_name", [
    ({"A": "a", "B": 3}, "int"),
    ({"A": "a", 5: "b"}, "int"),
    ({"A": "a", None: "b"}, "NoneType"),
    ({"A": "a", "B": ["x"]}, "list"),
    ({"A": "a", "B": b"x"}, "bytes"),
])
def test_wrong_types_fail_before_any_substitution(make_node, host_log, variables, type_name):
    with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$"):
        make_node()._process_template("{{A}} {{LEFT}}", variables)
    assert host_log.calls == []


@pytest.mark.parametrize("variables, error", [
    ({"A": "\\d", "B": 3}, re.error),
    ({"A": "\\g<name>", None: "b"}, IndexError),
    ({"A": 3, "B": "\\d"}, TypeError),
])
def test_entries_are_checked_in_their_turn(make_node, host_log, variables, error):
    """The first faulty entry in the dict's order decides the error."""
    with pytest.raises(error):
        make_node()._process_template("{{A}} {{B}}", variables)
    assert host_log.calls == []


def test_standard_and_node_variables_in_order(make_node, host_log):
    node_vars = {"RUN_LABEL": "r", "JOB_NAME": "custom", "INPUT_FILE_2": "other"}
    node = make_node(node_id="filter_2", inputs=["", "/data/a.pdb", "/data/b.top", None, "rel/c.gro"],
                     template_vars=node_vars)
    variables = node._get_all_template_variables_ssh({}, "/scratch/job_filter_2")
    assert list(variables.items()) == [
        ("JOB_NAME", "custom"),
        ("REMOTE_WORK_DIR", "/scratch/job_filter_2"),
        ("NODE_ID", "filter_2"),
        ("OUTPUT_DIR", "/scratch/job_filter_2"),
        ("WORKING_DIR", "/scratch/job_filter_2"),
        ("INPUT_FILE_1", "a.pdb"),
        ("INPUT_FILE_2", "other"),
        ("INPUT_FILE_4", "c.gro"),
        ("RUN_LABEL", "r"),
    ]
    assert [name for name, *_ in node.calls] == ["get_template_variables", "get_input_files"]
    assert node_vars == {"RUN_LABEL": "r", "JOB_NAME": "custom", "INPUT_FILE_2": "other"}


def test_config_builder_and_non_text_node_id(make_node, host_log):
    node = make_node(node_id=7, inputs=iter(["/x/in.dat"]))
    variables = node._get_all_template_variables({}, SimpleNamespace(remote_work_dir="/w/"))
    assert variables["JOB_NAME"] == "zentrel_7"
    assert variables["NODE_ID"] == 7
    assert variables["REMOTE_WORK_DIR"] == "/w//job_7"
    assert variables["INPUT_FILE_0"] == "in.dat"
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        node._process_template("{{NODE_ID}}", variables)
    with pytest.raises(AttributeError):
        node._get_all_template_variables({}, object())


@pytest.mark.parametrize("node_vars", [None, ["A", "B"], "AB"])
def test_node_variables_must_be_a_mapping(make_node, host_log, node_vars):
    with pytest.raises(TypeError):
        make_node(template_vars=node_vars)._get_all_template_variables_ssh({}, "/d")
