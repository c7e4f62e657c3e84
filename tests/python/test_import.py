import dovadure


def test_module_imports_under_its_own_name():
    assert dovadure.__name__ == "dovadure"
