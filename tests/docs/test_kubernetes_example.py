"""The Kubernetes example of the deployment page is valid against the API's schemas."""

import pathlib

import pytest
import yaml

kubernetes_validate = pytest.importorskip("kubernetes_validate")

MANIFEST = pathlib.Path(__file__).resolve().parents[2] / "docs" / "kubernetes" / "ovaline-daemonset.yaml"


def resources(text):
    return [doc for doc in yaml.safe_load_all(text) if doc]


def test_the_manifest_is_valid_strictly():
    found = resources(MANIFEST.read_text())
    assert [r["kind"] for r in found] == ["Namespace", "DaemonSet"]
    version = kubernetes_validate.utils.latest_version()
    for resource in found:
        # Raises ValidationError naming the field; strict refuses unknown fields too.
        kubernetes_validate.validate(resource, version, strict=True)


def test_the_validator_refuses_a_broken_manifest():
    # The check above would pass vacuously if the validator accepted anything.
    broken = MANIFEST.read_text().replace("nodeSelector:", "nodeSelectr:")
    with pytest.raises(kubernetes_validate.ValidationError):
        for resource in resources(broken):
            kubernetes_validate.validate(resource, kubernetes_validate.utils.latest_version(), strict=True)
