"""Key rings for the tests: a user's private ring as a decrypted key file gives it, and the
same user's public ring as the broker's public-key records give it to other users; and a new
user's decrypted key file."""
import uuid

import norvo.crypto as crypto
from norvo.crypto.keys import AuthKey, DerivationKey, KeyRing, KeyType
from norvo.crypto.strongbox import KeyFile


class DecryptedKeyFile(object):
    """What a key ring reads of a decrypted key file: `encrypted` and the key-ring document."""

    encrypted = False

    def __init__(self, data):
        self.data = data


def private_ring(auth=((0, True),), derivation=((0, True),), user_id=None):
    """A private ring with a fresh key for each (index, active) pair of each section, owned by
    `user_id` (a new id when none is given)."""
    doc = {"userId": str(user_id or uuid.uuid4()), KeyType.AUTH: {}, KeyType.DERIVATION: {}}
    for section, keys in ((KeyType.AUTH, auth), (KeyType.DERIVATION, derivation)):
        for index, active in keys:
            pem = crypto.to_pem_private(crypto.p384.generate_private_key()).decode()
            doc[section][str(index)] = {"key": pem, "index": index, "active": active}
    return KeyRing(strongbox=DecryptedKeyFile(doc))


def new_key_file(user_id):
    """A decrypted key file of a fresh key pair, as a new account gets it, owned by `user_id`
    as given (None and other odd ids too)."""
    return KeyFile(signing_key=AuthKey(), derivation_key=DerivationKey(), user_id=user_id)


def key_record(pub, user_id, index=0, key_type="auth", active=True):
    """One of the broker's public-key records: any key type but "auth" is a derivation key."""
    return {"index": index, "userId": user_id, "keyType": key_type, "pubKey": pub, "active": active}


def public_ring(ring):
    """The same user's ring as other users get it from the broker's public-key records."""
    records = [
        key_record(crypto.to_pem_public(key.public), str(key.user_id), index=key.index,
                   key_type="auth" if section == KeyType.AUTH else "derivation", active=key.active)
        for section in (KeyType.AUTH, KeyType.DERIVATION)
        for key in ring[section].values()
    ]
    return KeyRing(pub_keys=records, user_id=ring.user_id)
