"""Walk one container from Alice to Bob.

Alice seals a container under fresh keys; her key ring and Bob's public key ring wrap those
keys in a signed envelope carried by an access record. Bob opens his key file with his
password, unwraps the envelope and opens the container from its bytes alone.
"""
import types
import uuid

import norvo.providers
from norvo import crypto
from norvo.access import Access
from norvo.crypto.container import Container, JSONPayload
from norvo.crypto.keys import AuthKey, DerivationKey, KeyRing, KeyType
from norvo.crypto.strongbox import KeyFile
from norvo.crypto.envelope import Envelope
from norvo.permissions import DEFAULT_RECIP_PERMISSIONS


def new_user(password, passphrase):
    """A user's key file as it would be stored: encrypted under the password, with a rescue."""
    user_id = uuid.uuid4()
    key_file = KeyFile(signing_key=AuthKey(), derivation_key=DerivationKey(), user_id=user_id)
    key_file.encrypt(password=password, passphrase=passphrase)
    return user_id, key_file.data


def open_key_ring(stored, password):
    key_file = KeyFile(enc_data=stored)
    key_file.decrypt(password=password)
    return KeyRing(strongbox=key_file)


def public_ring(ring):
    """What the broker would hand out about a user: public keys only."""
    records = []
    for key_type, wire_type in ((KeyType.AUTH, "auth"), (KeyType.DERIVATION, "derivation")):
        for index, key in ring[key_type].items():
            records.append({"index": index, "userId": str(ring.user_id), "keyType": wire_type,
                            "pubKey": crypto.to_pem_public(key.public), "active": key.active})
    return KeyRing(pub_keys=records, user_id=ring.user_id)


def main():
    alice_id, alice_file = new_user("Alice-Pa55word", "alice rescue phrase 1A")
    bob_id, bob_file = new_user("Bob-Pa55word", "bob rescue phrase 1B")

    # Alice logs in: the provider holds her as the session user and knows Bob's public keys.
    provider = norvo.providers.current()
    alice_ring = open_key_ring(alice_file, "Alice-Pa55word")
    provider.session.user = types.SimpleNamespace(id=alice_id, keys=alice_ring)
    provider.keys.add(public_ring(open_key_ring(bob_file, "Bob-Pa55word")))

    container = Container(header={"title": "quarterly figures"},
                          content={"revenue": 1250000, "currency": "EUR"},
                          content_cls=JSONPayload, type="report")
    container.encrypt()
    sealed = container.data
    access = Access(bob_id, permissions=DEFAULT_RECIP_PERMISSIONS)
    access.container = container
    envelope_text = access.key_blob.b64
    print("Alice sealed container {} ({} bytes) and an envelope of {} base64 bytes for Bob"
          .format(container.id, len(sealed), len(envelope_text)))

    # Bob, elsewhere, has only the container bytes, the envelope text, his password and Alice's
    # published public keys. Passing her ring checks that Alice sealed the envelope: without it
    # the signature is checked only against the key the envelope itself carries.
    provider.reset()
    bob_ring = open_key_ring(bob_file, "Bob-Pa55word")
    keys = Envelope(envelope_text).get_container_keys(bob_ring, sender_keys=public_ring(alice_ring))
    received = Container(sealed, JSONPayload)
    received.decrypt(keys)
    print("Bob opened container {}: header {} content {}".format(
        received.id, received.header.data, received.content.data))
    print("Bob's permissions: {}".format(access.permissions))


if __name__ == "__main__":
    main()
